#include "transfer/pacing.h"

#include "transfer/limits.h"

#include <QThread>

#if defined(Q_OS_LINUX)
#include <sys/prctl.h>
#elif defined(Q_OS_WIN)
#include <qt_windows.h>
#include <timeapi.h>
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
#endif

#if defined(Q_OS_LINUX)

// Linux pads every sleep by the thread's timer slack, 50 us unless asked
// otherwise.
FineSleeper::FineSleeper() : m_previousSlack(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0))
{
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0)
        m_timer = LinuxTimerSlack;
}

FineSleeper::~FineSleeper()
{
    if (m_timer == LinuxTimerSlack && m_previousSlack > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_previousSlack), 0, 0, 0);
}

void FineSleeper::sleep(qint64 ns)
{
    QThread::usleep(quint64(ns) / 1000);
}

#elif defined(Q_OS_WIN)

// A plain Sleep() waits for the system tick, 15.6 ms by default. The
// high-resolution waitable timer does not touch the system-wide tick;
// older systems get a 1 ms tick, for the length of the send only.
FineSleeper::FineSleeper()
{
    m_waitableTimer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (m_waitableTimer)
        m_timer = HighResolutionWaitable;
    else if (timeBeginPeriod(1) == TIMERR_NOERROR)
        m_timer = OneMsPeriod;
}

FineSleeper::~FineSleeper()
{
    if (m_waitableTimer)
        CloseHandle(m_waitableTimer);
    if (m_timer == OneMsPeriod)
        timeEndPeriod(1);
}

void FineSleeper::sleep(qint64 ns)
{
    if (m_timer == HighResolutionWaitable) {
        LARGE_INTEGER due;
        due.QuadPart = -qMax<qint64>(1, ns / 100); // relative, in 100 ns units
        if (SetWaitableTimer(m_waitableTimer, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(m_waitableTimer, INFINITE);
            return;
        }
    }
    Sleep(DWORD((ns + 500 * 1000) / (1000 * 1000)));
}

#else

FineSleeper::FineSleeper() = default;
FineSleeper::~FineSleeper() = default;

void FineSleeper::sleep(qint64 ns)
{
    QThread::usleep(quint64(ns) / 1000);
}

#endif

namespace {

constexpr qint64 PauseNs = 1000 * 1000;
constexpr qint64 SpinNs = 80 * 1000;
constexpr qint64 NsPerSecond = 1000 * 1000 * 1000;
// A cap's blocks: at most a hundredth of a second's bytes each; its bucket
// holds a hundredth too, and at least two blocks, so that a wake-up up to
// 10 ms late costs no rate and no second gets more than 2 % beyond the cap.
constexpr qint64 CapBlocksPerSecond = 100;
constexpr qint64 CapBucketsPerSecond = 100;
constexpr qint64 CapBucketBlocks = 2;

} // namespace

SendPacer::SendPacer(const SendPace &pace) : m_pace(pace), m_largestBlock(Limits::MaxBufferSize)
{
    if (pace.mode == SendPace::Mode::Full)
        return;
    m_sleeper = std::make_unique<FineSleeper>();
    if (pace.mode != SendPace::Mode::Cap)
        return;
    m_bytesPerSecond = qMax<qint64>(1, pace.capBytesPerSecond());
    m_largestBlock = qBound<qint64>(1, m_bytesPerSecond / CapBlocksPerSecond, m_largestBlock);
    m_depth = qMax(CapBucketBlocks * m_largestBlock, m_bytesPerSecond / CapBucketsPerSecond);
    m_credit = double(m_depth);
    m_clock.start();
}

SendPacer::~SendPacer() = default;

void SendPacer::wrote(qint64 bytes)
{
    m_sinceWrite.start();
    if (m_pace.mode != SendPace::Mode::Cap)
        return;
    earn();
    m_credit -= double(bytes);
}

// Paced, sleeps most of the pause away and spins only the last stretch,
// which a sleep would overshoot. A cap sleeps until the bucket holds the
// block: a late wake-up has earned bytes meanwhile, up to the bucket's size.
void SendPacer::waitToWrite(qint64 bytes)
{
    switch (m_pace.mode) {
    case SendPace::Mode::Full:
        return;
    case SendPace::Mode::Paced: {
        const qint64 left = PauseNs - m_sinceWrite.nsecsElapsed();
        if (left > 2 * SpinNs)
            m_sleeper->sleep(left - SpinNs);
        while (m_sinceWrite.nsecsElapsed() < PauseNs) {
        }
        return;
    }
    case SendPace::Mode::Cap: {
        const double wanted = double(qMin(bytes, m_depth));
        for (earn(); m_credit < wanted; earn())
            m_sleeper->sleep(nsToEarn(wanted - m_credit));
        return;
    }
    }
}

qint64 SendPacer::nsToEarn(double bytes) const
{
    return qMax<qint64>(1000, qint64(bytes * double(NsPerSecond) / double(m_bytesPerSecond)));
}

void SendPacer::earn()
{
    const qint64 now = m_clock.nsecsElapsed();
    m_credit = qMin(double(m_depth), m_credit + double(now - m_earnedAtNs) *
                                                    double(m_bytesPerSecond) / double(NsPerSecond));
    m_earnedAtNs = now;
}
