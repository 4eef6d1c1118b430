#include "net/reconnectschedule.h"

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
}

int ReconnectSchedule::delayBeforeMs(int attempt)
{
    // 1, 2, 4, 8 s, then the longest; the shift stops before it could overflow.
    const int doublings = qBound(0, attempt - 1, 4);
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
}

// A second report of the same loss, or one after stop(), changes nothing.
void ReconnectSchedule::linkLost()
{
    if (m_link != Link::Connecting && m_link != Link::Connected)
        return;
    m_link = Link::Lost;
    if (m_enabled)
        waitForNextAttempt();
}

void ReconnectSchedule::stop()
{
    m_wait.stop();
    m_link = Link::Idle;
    m_attempt = 0;
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

void ReconnectSchedule::waitForNextAttempt()
{
    ++m_attempt;
    m_link = Link::Waiting;
    m_wait.start(delayBeforeMs(m_attempt));
}

void ReconnectSchedule::onWaitEnded()
{
    m_link = Link::Connecting;
    emit attemptDue(m_attempt);
}
