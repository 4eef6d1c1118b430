#include "client/reconnectschedule.h"

#include <QtGlobal>

namespace {

constexpr int FirstDelayMs = 1000;
constexpr int LongestDelayMs = 10000;

} // namespace

ReconnectSchedule::ReconnectSchedule(QObject *parent) : QObject(parent)
{
    m_wait.setSingleShot(true);
    // A coarse timer may end a wait early.
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, &ReconnectSchedule::onWaitEnded);
    m_settling.setSingleShot(true);
    m_settling.setInterval(LongestDelayMs);
    connect(&m_settling, &QTimer::timeout, this, &ReconnectSchedule::onSettled);
}

int ReconnectSchedule::delayBeforeMs(int wait)
{
    // 1, 2, 4, 8 s, then the longest; the shift stops before it could overflow.
    const int doublings = qBound(0, wait - 1, 4);
    return qMin(FirstDelayMs << doublings, LongestDelayMs);
}

void ReconnectSchedule::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled && m_link == Link::Lost) {
        waitForNextAttempt();
    } else if (!enabled) {
        m_wait.stop();
        if (m_link == Link::Waiting)
            m_link = Link::Lost;
        m_attempt = 0;
        m_waits = 0;
    }
}

void ReconnectSchedule::connectStarted()
{
    m_wait.stop();
    m_link = Link::Connecting;
}

void ReconnectSchedule::connected()
{
    m_wait.stop();
    m_link = Link::Connected;
    m_attempt = 0;
    m_settling.start();
}

// A second report of the same loss, or one after stop(), changes nothing.
void ReconnectSchedule::linkLost()
{
    if (m_link != Link::Connecting && m_link != Link::Connected)
        return;
    m_settling.stop();
    m_link = Link::Lost;
    if (m_enabled)
        waitForNextAttempt();
}

void ReconnectSchedule::stop()
{
    m_wait.stop();
    m_settling.stop();
    m_link = Link::Idle;
    m_attempt = 0;
    m_waits = 0;
}

int ReconnectSchedule::waitingMs() const
{
    return m_wait.isActive() ? m_wait.interval() : -1;
}

void ReconnectSchedule::endWaitNow()
{
    if (!m_wait.isActive())
        return;
    m_wait.stop();
    onWaitEnded();
}

void ReconnectSchedule::endSettlingNow()
{
    if (!m_settling.isActive())
        return;
    m_settling.stop();
    onSettled();
}

void ReconnectSchedule::waitForNextAttempt()
{
    ++m_attempt;
    ++m_waits;
    m_link = Link::Waiting;
    m_wait.start(delayBeforeMs(m_waits));
}

void ReconnectSchedule::onWaitEnded()
{
    m_link = Link::Connecting;
    emit attemptDue(m_attempt);
}

void ReconnectSchedule::onSettled()
{
    m_waits = 0;
}
