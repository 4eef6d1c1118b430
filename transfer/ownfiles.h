#pragma once

#include <QString>

// The running program's own files, which a received file must never
// replace: a portable copy may receive beside itself, and a controller must
// not be able to swap its programs, libraries or settings there.
namespace OwnFiles {

// Whether `name` in `directory` is one of them: in the program's own
// folder, the programs, libraries, plugin folders and the files the
// programs keep beside themselves, in any case; anywhere, an existing file
// that is one of those under another name (an 8.3 name, a hard link). The
// folder and the files are compared as the file system knows them (volume
// and file index, device and inode), never by the spelling of their paths.
bool contains(const QString &directory, const QString &name);

} // namespace OwnFiles
