#pragma once

#include <QString>

// Where the window keeps settings.ini, for every program that shares it.
namespace SettingsFile {

// Keys of settings.ini.
constexpr char KeySaveFilePath[] = "saveFilePath";
constexpr char KeyServerAddress[] = "serverAddress";
constexpr char KeySocketType[] = "socketType";

// A settings.ini in programDir, or the chance to create one there, makes a
// portable copy (a zip, a build folder). An installed copy cannot write
// beside itself, so it keeps its settings in the user's own folder, named
// after the application: callers set the window's application name first.
QString path(const QString &programDir);

} // namespace SettingsFile
