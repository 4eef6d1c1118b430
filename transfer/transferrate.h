#pragma once

#include <QString>
#include <QtGlobal>

#include <deque>

// The rate of a running transfer over about the last second, and the time
// left at that rate. An average since the start would hide a link that just
// slowed down or stalled; a single interval would jitter with every block.
// Fed the byte count so far, as often as progress is known.
class TransferRate
{
public:
    static constexpr qint64 WindowMs = 1000;

    void reset() { m_samples.clear(); }
    void add(qint64 nowMs, quint64 bytesSoFar);
    // 0 until two samples lie apart in time.
    double bytesPerSecond() const;
    // Whole seconds, rounded up; -1 while the rate is 0.
    qint64 secondsLeft(quint64 bytesLeft) const;

    // For people, in decimal units: "850.0 kB/s", "12.3 MB/s".
    static QString rateText(double bytesPerSecond);
    // "0:42", "61:05"; "--:--" for an unknown time (-1).
    static QString timeText(qint64 seconds);

private:
    struct Sample
    {
        qint64 ms;
        quint64 bytes;
    };
    std::deque<Sample> m_samples;
};
