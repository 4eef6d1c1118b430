#pragma once

#include <QElapsedTimer>

// The clock of the receive stall rule, which counts time without incoming
// data. Time spent handling a chunk, such as a write to a slow disk, is
// left out, so a chunk that took long to write is never taken for a
// controller that went quiet.
class StallClock
{
public:
    void start()
    {
        m_clock.start();
        m_busyMs = 0;
    }
    qint64 nowMs() const { return m_clock.elapsed() - m_busyMs; }
    // Runs handle() and leaves its duration out of the clock.
    template <typename Handle> void whileBusy(Handle handle)
    {
        const qint64 startMs = m_clock.elapsed();
        handle();
        m_busyMs += m_clock.elapsed() - startMs;
    }

private:
    QElapsedTimer m_clock;
    qint64 m_busyMs = 0;
};
