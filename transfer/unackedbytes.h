#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QTcpSocket;

// The bytes written to a socket that its peer has not acknowledged yet:
// those still in Qt's buffer and those the system holds, sent or not. A
// write that left Qt's buffer may still be lost if the peer resets before
// its side acknowledged it; only this count tells.
//
// Lives in the socket's thread. Make it before the writes it is to count
// (Windows counts what the system was handed since then).
class UnackedBytes
{
public:
    enum Source {
        QtBufferOnly,   // the system cannot tell: bytes count once they left Qt
        LinuxOutQueue,  // SIOCOUTQ: unsent and unacknowledged
        WindowsTcpInfo, // SIO_TCP_INFO, Windows 10 1703 and later
    };
    enum Outcome { Acknowledged, Lost, Stalled, Stopped };

    // A controller that takes nothing for this long has stopped reading.
    static constexpr int DefaultStallMs = 5000;

    explicit UnackedBytes(QTcpSocket *socket);
    ~UnackedBytes();
    UnackedBytes(const UnackedBytes &) = delete;
    UnackedBytes &operator=(const UnackedBytes &) = delete;

    Source source() const { return m_source; }
    // -1 once the socket is no longer connected (or for no socket).
    qint64 count() const;

    // Runs the thread's events until the peer has acknowledged every byte.
    // Lost as soon as lost() says so or the socket leaves the connected
    // state; Stalled when the count has not fallen for stallMs; Stopped when
    // stop() says so first.
    Outcome waitForAll(const std::function<bool()> &lost, const std::function<bool()> &stop,
                       int stallMs = DefaultStallMs);

private:
    qint64 systemCount() const;

    QPointer<QTcpSocket> m_socket;
    Source m_source = QtBufferOnly;
#ifdef Q_OS_WIN
    quint64 m_handed = 0; // bytes Qt handed to the system since construction
    quint64 m_sentAtStart = 0;
    QMetaObject::Connection m_handedWatch;
#endif
};
