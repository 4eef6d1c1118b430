#pragma once

#include <QFile>
#include <QString>

#include <memory>

// The file a reception is written to until it is complete: a hidden name
// beside the target, created exclusively (never an existing file, never
// through a link), and moved over the target's name in one step.
namespace PartFile {

// Open, unbuffered, with the permissions any new file would get; null if
// it could not be created.
std::unique_ptr<QFile> create(const QString &directory, const QString &name);

// Moves the partial file over target, retrying a moment while another
// program holds the target open.
bool replace(const QString &partPath, const QString &target);

// Moves the partial file to the first free "name (n).ext" beside target;
// the path it took, or empty if none was free.
QString moveToFreeName(const QString &partPath, const QString &target);

} // namespace PartFile
