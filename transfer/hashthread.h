#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// An MD5 digest computed in a thread of its own over pieces handed to it in
// order, so that hashing a received file runs beside writing it: one core
// of MD5 is what limits a reception. The caller keeps a piece alive and
// unchanged until waitFor() has passed its ticket. Small pieces handed over
// while nothing is pending are hashed at once, where a hand-over would cost
// more than the hash.
class HashThread
{
public:
    HashThread();
    ~HashThread();
    HashThread(const HashThread &) = delete;
    HashThread &operator=(const HashThread &) = delete;

    // A new digest; waits for the pieces still pending.
    void reset();
    // Returns the piece's ticket.
    quint64 add(const char *data, qsizetype size);
    void waitFor(quint64 ticket);
    // The digest of everything added so far; further pieces may follow.
    QByteArray result();

    static constexpr qsizetype InlineBytes = 64 * 1024;

private:
    struct Piece
    {
        const char *data;
        qsizetype size;
    };

    void run();
    void startThread();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Piece> m_pieces; // guarded by m_mutex
    quint64 m_added = 0;        // guarded by m_mutex
    quint64 m_done = 0;         // guarded by m_mutex
    bool m_quit = false;        // guarded by m_mutex
    // Touched by the thread only while pieces are pending, and by the caller
    // only while none are.
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::thread m_thread;
};
