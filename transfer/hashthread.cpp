#include "transfer/hashthread.h"

#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

HashThread::HashThread() = default;

HashThread::~HashThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void HashThread::reset()
{
    waitFor(m_added);
    m_hash.reset();
}

quint64 HashThread::add(const char *data, qsizetype size)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const quint64 ticket = ++m_added;
    if (m_done + 1 == ticket && size <= InlineBytes) {
        m_hash.addData(data, int(size));
        m_done = ticket;
        return ticket;
    }
    m_pieces.push_back({data, size});
    lock.unlock();
    startThread();
    m_changed.notify_all();
    return ticket;
}

void HashThread::waitFor(quint64 ticket)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_done >= ticket; });
}

QByteArray HashThread::result()
{
    waitFor(m_added);
    return m_hash.result();
}

void HashThread::startThread()
{
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

void HashThread::run()
{
#ifdef Q_OS_LINUX
    pthread_setname_np(pthread_self(), "md5"); // for profilers and top
#endif
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || !m_pieces.empty(); });
        if (m_pieces.empty())
            return;
        const Piece piece = m_pieces.front();
        lock.unlock();
        // QCryptographicHash takes an int; a piece is never near 2 GiB.
        m_hash.addData(piece.data, int(piece.size));
        lock.lock();
        m_pieces.pop_front();
        ++m_done;
        m_changed.notify_all();
    }
}
