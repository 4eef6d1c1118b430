#include "transfer/pacing.h"

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
