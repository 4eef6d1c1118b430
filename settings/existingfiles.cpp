#include "settings/existingfiles.h"

#include <QStringList>

namespace {

constexpr ExistingFiles AllRules[] = {ExistingFiles::Overwrite, ExistingFiles::KeepBoth,
                                      ExistingFiles::SkipIdentical};

} // namespace

QString ExistingFilesRule::wordOf(ExistingFiles rule)
{
    switch (rule) {
    case ExistingFiles::KeepBoth:
        return QLatin1String(KeepBoth);
    case ExistingFiles::SkipIdentical:
        return QLatin1String(SkipIdentical);
    case ExistingFiles::Overwrite:
        break;
    }
    return QLatin1String(Overwrite);
}

std::optional<ExistingFiles> ExistingFilesRule::of(const QString &word)
{
    for (const ExistingFiles rule : AllRules) {
        if (word == wordOf(rule))
            return rule;
    }
    return std::nullopt;
}

QString ExistingFilesRule::words()
{
    QStringList all;
    for (const ExistingFiles rule : AllRules)
        all << wordOf(rule);
    return all.join(QLatin1String(", "));
}
