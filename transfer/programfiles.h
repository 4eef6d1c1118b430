#pragma once

#include <QString>

// The running program's own files, which a received file must never
// replace: a portable copy may receive beside itself, and a controller must
// not be able to swap its programs, libraries or settings there.
namespace ProgramFiles {

// Whether `name` in `directory` is one of them: only in the program's own
// folder, and there the programs, libraries, plugin folders and the files
// the programs keep beside themselves.
bool isOwnFile(const QString &directory, const QString &name);

} // namespace ProgramFiles
