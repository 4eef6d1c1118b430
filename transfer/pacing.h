#pragma once

#include "settings/sendpace.h"

#include <QElapsedTimer>
#include <QtGlobal>

#include <memory>

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

// Holds a send to its pace between one block and the next. Paced, a block
// goes at least 1 ms after the one before; with a cap, a token bucket on
// the monotonic clock lets blocks go as the rate earns their bytes, and
// keeps blocks to a hundredth of a second's worth so that the rate holds
// over any second. Full pace waits for nothing and holds no timer.
class SendPacer
{
public:
    explicit SendPacer(const SendPace &pace);
    ~SendPacer();
    SendPacer(const SendPacer &) = delete;
    SendPacer &operator=(const SendPacer &) = delete;

    // The largest block the pace lets go at once.
    qint64 largestBlock() const { return m_largestBlock; }
    // Progress reports at full pace or with a cap come at most this often.
    bool reportsEveryBlock() const { return m_pace.mode == SendPace::Mode::Paced; }
    // Right after each write.
    void wrote(qint64 bytes);
    // Before the next write, of that many bytes.
    void waitToWrite(qint64 bytes);

private:
    void earn();
    qint64 nsToEarn(double bytes) const;

    const SendPace m_pace;
    std::unique_ptr<FineSleeper> m_sleeper; // none at full pace
    QElapsedTimer m_sinceWrite;
    qint64 m_largestBlock;
    // The cap's bucket: bytes that may go now, earned up to m_depth.
    qint64 m_bytesPerSecond = 0;
    qint64 m_depth = 0;
    double m_credit = 0;
    qint64 m_earnedAtNs = 0;
    QElapsedTimer m_clock;
};
