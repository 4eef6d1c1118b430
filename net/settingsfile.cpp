#include "net/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString FileName = QStringLiteral("settings.ini");

} // namespace

bool SettingsFile::isPortable(const QString &programDir)
{
    const QDir dir(programDir);
    return QFileInfo::exists(dir.filePath(FileName)) ||
           QFileInfo::exists(dir.filePath(QLatin1String(PortableMarker)));
}

QString SettingsFile::path(const QString &programDir)
{
    if (isPortable(programDir))
        return QDir(programDir).filePath(FileName);
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QLatin1Char('/') +
           FileName;
}

QString SettingsFile::userReceiveFolder()
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString base = QFileInfo(downloads).isDir() ? downloads : QDir::homePath();
    return base + QLatin1Char('/') + QCoreApplication::applicationName();
}
