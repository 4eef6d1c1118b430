#pragma once

#include <QString>

// Where the window keeps settings.ini, for every program that shares it.
namespace SettingsFile {

// Keys of settings.ini.
constexpr char KeySaveFilePath[] = "saveFilePath";
constexpr char KeyServerAddress[] = "serverAddress";
constexpr char KeySocketType[] = "socketType";

// A file beside the executable that makes a copy portable, as the zip ships.
constexpr char PortableMarker[] = "portable.txt";

// A copy is portable (a zip, a build folder) when settings.ini or the marker
// already lies beside the executable. Being able to write there proves
// nothing: root can write into /usr/bin.
bool isPortable(const QString &programDir);

// Beside the executable for a portable copy; otherwise the user's own file,
// in a folder named after the application: callers set the application name
// first.
QString path(const QString &programDir);

// Where an installed copy receives until told otherwise: a folder of the
// tool's own in the user's downloads, or in the home folder without one.
// Never the home folder itself, where a received ".bashrc" would land.
QString userReceiveFolder();

} // namespace SettingsFile
