#include "settings/sendpace.h"

#include <cmath>

std::optional<SendPace> SendPace::parse(const QString &text)
{
    const QString value = text.trimmed().toLower();
    if (value == QLatin1String("paced"))
        return SendPace();
    if (value == QLatin1String("full"))
        return full();
    bool ok = false;
    const double megabytesPerSecond = value.toDouble(&ok);
    if (!ok || !std::isfinite(megabytesPerSecond) || megabytesPerSecond <= 0 ||
        megabytesPerSecond > MaxCapMBps)
        return std::nullopt;
    return cap(megabytesPerSecond);
}

QString SendPace::toString() const
{
    switch (mode) {
    case Mode::Full:
        return QStringLiteral("full");
    case Mode::Cap:
        return QString::number(capMBps, 'g', 12);
    case Mode::Paced:
        break;
    }
    return QStringLiteral("paced");
}

std::optional<int> FileGap::parse(const QString &text)
{
    bool ok = false;
    const int ms = text.trimmed().toInt(&ok);
    if (!ok || ms < 0 || ms > MaxMs)
        return std::nullopt;
    return ms;
}
