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
// Holds a handle of its own on the system's socket: Qt closes its handle as
// soon as it sees the peer close, and a peer that closes right after its
// last acknowledgement must still count as having taken every byte. The
// connection closes once both handles are closed.
//
// Lives in the socket's thread. Make it before the writes it is to count,
// and write through it (Windows counts what the system was handed since
// then; bytes Qt still held when the connection went are lost with it).
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

    // What ends a wait early.
    struct Rules
    {
        std::function<bool()> lost; // the connection is gone
        std::function<bool()> stop;
        int stallMs = DefaultStallMs;
    };

    explicit UnackedBytes(QTcpSocket *socket);
    ~UnackedBytes();
    UnackedBytes(const UnackedBytes &) = delete;
    UnackedBytes &operator=(const UnackedBytes &) = delete;

    Source source() const { return m_source; }
    // False, and nothing written, once the socket is no longer connected.
    bool write(const QByteArray &data);
    // -1 when it cannot be told: for no socket, and once the connection is
    // gone where only Qt's buffer counts.
    qint64 count() const;

    // Runs the thread's events until the peer has acknowledged every byte,
    // whatever became of the connection since. Lost when the connection is
    // gone with bytes unacknowledged; Stalled when the count has not fallen
    // for stallMs; Stopped when stop() says so first.
    Outcome waitForAll(const Rules &rules);
    // The same, until Qt's buffer holds at most queued bytes (Acknowledged
    // too): a peer that stops reading mid-send stalls the send.
    Outcome waitForRoom(qint64 queued, const Rules &rules);

private:
    Outcome waitUntilQueued(qint64 queued, const Rules &rules);
    qint64 systemCount() const;
    void closeHandle();

    QPointer<QTcpSocket> m_socket;
    Source m_source = QtBufferOnly;
    qintptr m_handle = -1; // the system's socket, open past Qt's own handle
    quint64 m_written = 0; // into Qt's buffer since construction, with what it held then
    quint64 m_handed = 0;  // by Qt to the system since construction
    QMetaObject::Connection m_handedWatch;
#ifdef Q_OS_WIN
    quint64 m_sentAtStart = 0;
    quint32 m_retransmittedAtStart = 0;
#endif
};
