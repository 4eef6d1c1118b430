#include "transfer/transferrate.h"

#include <cmath>

// Keeps one sample at or before the start of the window, so that the rate
// always spans a full second once there has been one.
void TransferRate::add(qint64 nowMs, quint64 bytesSoFar)
{
    if (!m_samples.empty() && m_samples.back().ms == nowMs)
        m_samples.back().bytes = bytesSoFar;
    else
        m_samples.push_back({nowMs, bytesSoFar});
    while (m_samples.size() > 2 && m_samples[1].ms <= nowMs - WindowMs)
        m_samples.pop_front();
}

double TransferRate::bytesPerSecond() const
{
    if (m_samples.size() < 2)
        return 0;
    const Sample &first = m_samples.front();
    const Sample &last = m_samples.back();
    if (last.bytes <= first.bytes)
        return 0;
    return double(last.bytes - first.bytes) * 1000.0 / double(last.ms - first.ms);
}

qint64 TransferRate::secondsLeft(quint64 bytesLeft) const
{
    const double rate = bytesPerSecond();
    return rate > 0 ? qint64(std::ceil(double(bytesLeft) / rate)) : -1;
}

QString TransferRate::rateText(double bytesPerSecond)
{
    if (bytesPerSecond < 1e6)
        return QString::number(bytesPerSecond / 1e3, 'f', 1) + QLatin1String(" kB/s");
    return QString::number(bytesPerSecond / 1e6, 'f', 1) + QLatin1String(" MB/s");
}

QString TransferRate::timeText(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("--:--");
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
