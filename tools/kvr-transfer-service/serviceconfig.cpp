#include "serviceconfig.h"

#include "settings/receiverservices.h"
#include "settings/settingsfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char ExampleSettings[] =
    R"(; Settings of the KVR file receiver service (kvr-transfer-service).
; The service reads them when it starts: restart it after a change.
[General]
; The controller's address; it listens on port 8080.
serverAddress=192.168.1.10
; The folder for the files; without it, the "received" folder here.
;saveFilePath=D:/kvr/line1
; What a file does to one of its name already there: overwrite (the
; default), keep-both or skip-identical.
;existingFiles=skip-identical
)";

} // namespace

QString ServiceConfig::folder()
{
    return ReceiverServices::windowsFolder();
}

QString ServiceConfig::settingsFile()
{
    return ReceiverServices::windowsSettingsFile();
}

QString ServiceConfig::defaultReceiveFolder()
{
    return folder() + QStringLiteral("/received");
}

QString ServiceConfig::logFile()
{
    return folder() + QStringLiteral("/service.log");
}

QStringList ServiceConfig::receiveArguments()
{
    QStringList arguments{QCoreApplication::applicationFilePath(),
                          QStringLiteral("receive"),
                          QStringLiteral("--reconnect"),
                          QStringLiteral("--config"),
                          settingsFile(),
                          QStringLiteral("--history"),
                          folder() + QStringLiteral("/history.csv")};
    // The service's working folder is System32: never a receive folder.
    const SettingsFile::Values settings = SettingsFile::read(settingsFile());
    if (settings.saveFilePath.value_or(QString()).isEmpty())
        arguments << QStringLiteral("--dir") << defaultReceiveFolder();
    return arguments;
}

bool ServiceConfig::prepare(QString *error)
{
    if (!QDir().mkpath(defaultReceiveFolder())) {
        *error =
            QStringLiteral("cannot make %1").arg(QDir::toNativeSeparators(defaultReceiveFolder()));
        return false;
    }
    if (QFileInfo::exists(settingsFile()))
        return true;
    QFile file(settingsFile());
    if (!file.open(QIODevice::WriteOnly) || file.write(ExampleSettings) < 0) {
        *error = QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(settingsFile()));
        return false;
    }
    return true;
}
