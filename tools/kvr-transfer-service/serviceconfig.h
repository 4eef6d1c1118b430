#pragma once

#include <QString>
#include <QStringList>

// Where the service keeps its settings and files: a folder of its own in
// %ProgramData%, which any account the service runs as can be given.
namespace ServiceConfig {

// %ProgramData%\kvr-file-transfer
QString folder();
// receiver.ini there: serverAddress, saveFilePath, existingFiles.
QString settingsFile();
// Where files go when the settings name no folder.
QString defaultReceiveFolder();
// What the service writes instead of a console.
QString logFile();
// kvr-transfer's arguments for the service's run: receive, reconnecting,
// with the settings and history of the service's folder.
QStringList receiveArguments();
// Makes the folders and an example receiver.ini, where they are missing.
bool prepare(QString *error);

} // namespace ServiceConfig
