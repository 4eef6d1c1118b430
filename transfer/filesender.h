#pragma once

#include "transfer/unackedbytes.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <atomic>
#include <functional>

class QFile;
class QTcpSocket;

// Sends one file over a connected socket: the header with name, size and
// MD5, the contents in blocks of at most bufferSize bytes, then the end
// marker. Reports TransStarted, TransProgress after every block, and one
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
    // Fields the owner shares with other threads; the sender reads
    // bufferSize and stopRequested afresh for every block.
    struct Fields
    {
        std::atomic<int> &bufferSize;
        std::atomic<bool> &stopRequested;
        std::atomic<quint64> &fileSize;
        std::atomic<quint64> &bytesRead;
        std::atomic<quint64> &bytesWritten;
    };
    struct Options
    {
        bool pace = true;    // at least 1 ms between writes
        bool withMd5 = true; // send the MD5 section
        // Stops the send like stopRequested, but the sender never clears
        // it: for shutting down, where a stop must not be lost.
        const std::atomic<bool> *cancel = nullptr;
        // How long the peer may acknowledge nothing before the send fails.
        int ackStallMs = UnackedBytes::DefaultStallMs;
    };
    using Reporter = std::function<void(int code)>;

    FileSender(Fields fields, Reporter report);
    FileSender(Fields fields, Reporter report, Options options);

    // Returns the last code reported.
    int send(QTcpSocket *device, const QString &filePath);

    class ConnectionWatch;

private:
    int sendBlocks(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked, QFile &file,
                   const QByteArray &header);
    int finish(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked);
    int waitForRoom(QTcpSocket *device, ConnectionWatch &watch, qint64 limit);
    bool stopping() const;
    bool hashFile(QFile &file, QByteArray *md5Hex);
    int readBlock(QFile &file, QByteArray *block);
    int blockSize() const;
    int report(int code);

    Fields m_fields;
    Reporter m_report;
    Options m_options;
    quint64 m_size = 0;  // announced and hashed; fileSize may be changed by a nested send
    QByteArray m_md5Hex; // of the contents when they were hashed
    QCryptographicHash m_sentHash{QCryptographicHash::Md5}; // of the contents read for sending
};
