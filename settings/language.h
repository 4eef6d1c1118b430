#pragma once

#include <QString>

#include <optional>

// The language the window speaks: its texts as written, in Chinese, or a
// translation embedded in the program. Never the system's locale: on an
// English Windows that would change what the window has always shown.
namespace Language {

constexpr char Chinese[] = "zh_CN";
constexpr char English[] = "en";

// The command line's, else the stored one, else Chinese.
QString choose(const std::optional<QString> &fromCommandLine, const std::optional<QString> &stored);
// Makes the application speak code from now on, in place of the language
// installed before; Chinese needs no translation. False when the
// translation could not be loaded, and the texts stay as written.
bool install(const QString &code);
// The language installed last: Chinese before any.
QString current();

} // namespace Language
