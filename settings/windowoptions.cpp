#include "settings/windowoptions.h"

#include "settings/settingsfile.h"

#include <cstddef>

namespace {

// The value after --name or in --name=value; the last one given wins.
std::optional<QString> valueOf(const QStringList &arguments, const QString &name)
{
    const QString option = QStringLiteral("--") + name;
    std::optional<QString> value;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == option)
            value = arguments.value(++i);
        else if (arguments[i].startsWith(option + QLatin1Char('=')))
            value = arguments[i].mid(option.size() + 1);
    }
    return value;
}

template <std::size_t N>
std::optional<QString> wordOf(const QStringList &arguments, const char *name,
                              const char *const (&words)[N], QString *error)
{
    std::optional<QString> value = valueOf(arguments, QLatin1String(name));
    if (!value || SettingsFile::isOneOf(*value, words))
        return value;
    QStringList known;
    for (const char *word : words)
        known << QLatin1String(word);
    if (error->isEmpty())
        *error = QStringLiteral("unknown value \"%1\" for --%2: %3")
                     .arg(*value, QLatin1String(name), known.join(QLatin1String(", ")));
    return std::nullopt;
}

} // namespace

WindowOptions WindowOptions::parse(const QStringList &arguments)
{
    WindowOptions options;
    options.language = wordOf(arguments, "lang", SettingsFile::Languages, &options.error);
    options.appearance = wordOf(arguments, "appearance", SettingsFile::Appearances, &options.error);
    return options;
}
