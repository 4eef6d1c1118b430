#pragma once

#include <QElapsedTimer>

// The clock of the receive stall rule, which counts only time in which the
// controller could have sent and did not. Time spent handling a chunk, such
// as a write to a slow disk, and time in which the tool itself holds reading
// back (for a busy window, say) are left out, so neither is ever taken for a
// controller that went quiet.
class StallClock
{
public:
    void start()
    {
        m_clock.start();
        m_leftOutMs = 0;
        m_heldSinceMs = -1;
    }
    qint64 nowMs() const
    {
        const qint64 now = m_clock.elapsed();
        return now - m_leftOutMs - (m_heldSinceMs < 0 ? 0 : now - m_heldSinceMs);
    }
    // Runs handle() and leaves its duration out of the clock. Measured on
    // the clock itself, so time both busy and held is left out once.
    template <typename Handle> void whileBusy(Handle handle)
    {
        const qint64 startMs = nowMs();
        handle();
        m_leftOutMs += nowMs() - startMs;
    }
    // While held, the clock stands still.
    void setHeld(bool held)
    {
        if (held == (m_heldSinceMs >= 0))
            return;
        const qint64 now = m_clock.elapsed();
        if (held) {
            m_heldSinceMs = now;
        } else {
            m_leftOutMs += now - m_heldSinceMs;
            m_heldSinceMs = -1;
        }
    }

private:
    QElapsedTimer m_clock;
    qint64 m_leftOutMs = 0;
    qint64 m_heldSinceMs = -1; // -1 while not held
};
