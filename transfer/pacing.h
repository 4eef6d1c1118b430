#pragma once

#include <QtGlobal>

// Sleeps for the pauses between the blocks of a send, which are far shorter
// than the default tick of Windows' timer (15.6 ms). Holds the system's
// finer timer only while it lives, so make one per send.
class FineSleeper
{
public:
    enum Timer {
        PlainSleep,             // the system's default
        LinuxTimerSlack,        // nanosleep with 1 ns of timer slack
        HighResolutionWaitable, // Windows 10 1803 and later
        OneMsPeriod,            // Windows: timeBeginPeriod(1)
    };

    FineSleeper();
    ~FineSleeper();
    FineSleeper(const FineSleeper &) = delete;
    FineSleeper &operator=(const FineSleeper &) = delete;

    // Sleeps about ns nanoseconds, late by up to the timer's resolution.
    void sleep(qint64 ns);
    Timer timer() const { return m_timer; }

private:
    Timer m_timer = PlainSleep;
#if defined(Q_OS_WIN)
    void *m_waitableTimer = nullptr;
#elif defined(Q_OS_LINUX)
    int m_previousSlack = 0;
#endif
};
