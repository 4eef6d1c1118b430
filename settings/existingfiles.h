#pragma once

#include <QString>

#include <optional>

// What a verified file does to a file of its name already in the folder.
// The words are those of settings.ini, kvr-transfer's --existing and the
// service's configuration; never change one.
enum class ExistingFiles {
    Overwrite,     // replaced, by rename: the default
    KeepBoth,      // the new file goes under "name (1).ext"
    SkipIdentical, // dropped when its digest is the existing file's; else replaced
};

namespace ExistingFilesRule {

constexpr char Overwrite[] = "overwrite";
constexpr char KeepBoth[] = "keep-both";
constexpr char SkipIdentical[] = "skip-identical";

QString wordOf(ExistingFiles rule);
// Nothing for a word that is none of them.
std::optional<ExistingFiles> of(const QString &word);
// The words, for a usage line: "overwrite, keep-both, skip-identical".
QString words();

} // namespace ExistingFilesRule
