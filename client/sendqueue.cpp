#include "client/sendqueue.h"

#include "transfer/transfercodes.h"

#include <utility>

void SendQueue::add(const QStringList &paths)
{
    m_waiting += paths;
}

void SendQueue::addFirst(const QStringList &paths)
{
    Q_ASSERT(!sending());
    m_waiting = paths + m_waiting;
}

SendQueue::Place SendQueue::handOver()
{
    Q_ASSERT(hasWaiting() && !sending());
    m_current = m_waiting.takeFirst();
    m_holding = false;
    ++m_handed;
    return current();
}

// Files added after a stop wait for a run of their own.
SendQueue::Place SendQueue::current() const
{
    return {m_current, m_handed, m_handed + (m_stopping ? 0 : int(m_waiting.size()))};
}

SendQueue::After SendQueue::fileEnded(int code)
{
    m_current.clear();
    if (m_stopping || code == TransAborted)
        return endRun(After::Stopped);
    // The controller may still be inside the failed file: the rest wait
    // for the user.
    if (code != TransDone)
        return endRun(After::Failed);
    return m_waiting.isEmpty() ? endRun(After::Finished) : After::Next;
}

void SendQueue::holdNext()
{
    Q_ASSERT(hasWaiting() && !sending());
    m_holding = true;
}

// A held file was not handed over: nothing is left to end the run.
QStringList SendQueue::stop()
{
    if (sending())
        m_stopping = true;
    else
        endRun(After::Stopped);
    return std::exchange(m_waiting, {});
}

SendQueue::After SendQueue::endRun(After after)
{
    m_handed = 0;
    m_stopping = false;
    m_holding = false;
    return after;
}
