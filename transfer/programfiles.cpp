#include "transfer/programfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity NameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity NameCase = Qt::CaseSensitive;
#endif

bool isProgramFolder(const QString &directory)
{
    if (!QCoreApplication::instance())
        return false;
    const QString programDir =
        QFileInfo(QCoreApplication::applicationDirPath()).canonicalFilePath();
    return !programDir.isEmpty() && QFileInfo(directory).canonicalFilePath() == programDir;
}

bool isProgramOrLibrary(const QString &name)
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.compare(self, NameCase) == 0)
        return true;
    for (const char *program : {"kvr-file-transfer", "kvr-transfer", "kvr-controller-sim"}) {
        const QString base = QLatin1String(program);
        if (name.compare(base, NameCase) == 0 ||
            name.compare(base + QLatin1String(".exe"), NameCase) == 0)
            return true;
    }
    return name.endsWith(QLatin1String(".exe"), NameCase) ||
           name.endsWith(QLatin1String(".dll"), NameCase) || name.endsWith(QLatin1String(".so")) ||
           name.contains(QLatin1String(".so."));
}

bool isKeptFile(const QString &name)
{
    for (const char *kept :
         {"qt.conf", "settings.ini", "portable.txt", "history.csv", "history.1.csv"}) {
        if (name.compare(QLatin1String(kept), NameCase) == 0)
            return true;
    }
    return false;
}

} // namespace

bool ProgramFiles::isOwnFile(const QString &directory, const QString &name)
{
    if (!isProgramFolder(directory))
        return false;
    return isProgramOrLibrary(name) || isKeptFile(name) ||
           QFileInfo(QDir(directory).filePath(name)).isDir();
}
