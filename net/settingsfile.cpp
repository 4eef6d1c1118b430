#include "net/settingsfile.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

// Asks the file system itself: permission bits say nothing to root, nor
// anything about Windows' access lists.
bool canCreateFileIn(const QString &dir)
{
    QTemporaryFile probe(dir + QStringLiteral("/settings-probe-XXXXXX"));
    return probe.open();
}

} // namespace

QString SettingsFile::path(const QString &programDir)
{
    const QString name = QStringLiteral("/settings.ini");
    if (QFileInfo::exists(programDir + name) || canCreateFileIn(programDir))
        return programDir + name;
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + name;
}
