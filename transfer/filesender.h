#pragma once

#include "settings/defaults.h"
#include "settings/sendpace.h"
#include "transfer/limits.h"
#include "transfer/transferevents.h"
#include "transfer/unackedbytes.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <functional>

class QFile;
class QTcpSocket;

// Sends one file over a connected socket: the header with name, size and
// MD5, the contents in blocks of at most bufferSize bytes, then the end
// marker. Reports TransStarted, TransProgress after every block when paced
// (at most every 10 ms at other paces, and always after the last), and one
// end code (TransDone once the peer acknowledged every byte, TransAborted,
// TransDisconnected, TransReadFailed, TransChanged), or TransOpenFailed
// alone (also for a name that holds a marker's text, and for anything but
// a regular file).
//
// Runs in the socket's thread and returns when the send has ended. It lets
// that thread's events run once per block (and while it waits for the
// socket to drain), so other slots of the thread run nested inside a send.
class FileSender
{
public:
    struct Options
    {
        SendPace pace;       // paced: at least 1 ms between writes
        bool withMd5 = true; // send the MD5 section
        // Bytes per block: a fixed size, or one read afresh for every block
        // (the window's spin box) when set.
        int bufferSize = Defaults::BufferSize;
        const std::atomic<int> *liveBufferSize = nullptr;
        // Set by another thread to stop the send; cleared when a send
        // starts, so a stop left over from before has no effect.
        std::atomic<bool> *stopRequested = nullptr;
        // Stops the send like stopRequested, but the sender never clears
        // it: for shutting down, where a stop must not be lost.
        const std::atomic<bool> *cancel = nullptr;
        // How long the peer may acknowledge nothing, mid-send or at its end,
        // before the send fails.
        int ackStallMs = UnackedBytes::DefaultStallMs;
    };
    // Each code with this send's own counters, in the sender's thread.
    using OnEvent = std::function<void(const SendEvent &event)>;

    explicit FileSender(OnEvent onEvent);
    FileSender(OnEvent onEvent, Options options);

    // Returns the last code announced.
    int send(QTcpSocket *device, const QString &filePath);

    class ConnectionWatch;

private:
    int sendBlocks(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked, QFile &file,
                   const QByteArray &header);
    int finish(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked);
    int waitForRoom(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked,
                    qint64 limit);
    UnackedBytes::Rules rules(ConnectionWatch &watch) const;
    static int codeOf(QTcpSocket *device, UnackedBytes::Outcome outcome);
    bool stopping() const;
    bool hashFile(QFile &file, QByteArray *md5Hex);
    int readBlock(QFile &file, QByteArray *block);
    int blockSize() const;
    int announce(int code);

    OnEvent m_onEvent;
    Options m_options;
    int m_largestBlock = Limits::MaxBufferSize; // of this send's pace
    quint64 m_size = 0;                         // announced and hashed
    quint64 m_bytesRead = 0;
    quint64 m_bytesWritten = 0;
    QElapsedTimer m_sinceStart;                             // from TransStarted
    QByteArray m_md5Hex;                                    // of the contents when they were hashed
    QCryptographicHash m_sentHash{QCryptographicHash::Md5}; // of the contents read for sending
};
