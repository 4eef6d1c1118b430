#include "transfer/filesender.h"

#include "transfer/crossthreadvalues.h"
#include "transfer/limits.h"
#include "transfer/pacing.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>

namespace {

constexpr qint64 HashBlock = 256 * 1024;
// More than this many unsent blocks in the socket and the sender waits.
constexpr qint64 QueuedBlocks = 4;
constexpr qint64 MinQueuedBytes = 64 * 1024;
// Unpaced, a report per block would flood the thread that shows them.
constexpr qint64 ReportEveryMs = 10;

} // namespace

// Marks the send as lost as soon as the socket leaves the connected state,
// even if it is connected again by the time the sender looks.
class FileSender::ConnectionWatch
{
public:
    explicit ConnectionWatch(QTcpSocket *device) : m_device(device)
    {
        m_lost = !device || device->state() != QAbstractSocket::ConnectedState;
        if (device)
            m_connection = QObject::connect(device, &QAbstractSocket::stateChanged,
                                            [this](QAbstractSocket::SocketState state) {
                                                if (state != QAbstractSocket::ConnectedState)
                                                    m_lost = true;
                                            });
    }
    ~ConnectionWatch() { QObject::disconnect(m_connection); }
    ConnectionWatch(const ConnectionWatch &) = delete;
    ConnectionWatch &operator=(const ConnectionWatch &) = delete;

    bool lost()
    {
        if (!m_device)
            m_lost = true;
        return m_lost;
    }

private:
    QPointer<QTcpSocket> m_device;
    QMetaObject::Connection m_connection;
    bool m_lost = false;
};

FileSender::FileSender(OnEvent onEvent) : FileSender(std::move(onEvent), Options()) {}

FileSender::FileSender(OnEvent onEvent, Options options)
    : m_onEvent(std::move(onEvent)), m_options(options)
{}

int FileSender::send(QTcpSocket *device, const QString &filePath)
{
    Q_ASSERT(!device || device->thread() == QThread::currentThread());
    ConnectionWatch watch(device);
    m_size = quint64(qMax<qint64>(0, QFileInfo(filePath).size()));
    m_md5Hex.clear();
    // A stop left over from before this send has no effect; one made from
    // here on, while the file is hashed, stops it.
    if (m_options.stopRequested)
        *m_options.stopRequested = false;
    // Checked before opening: opening a FIFO waits for a writer, and a
    // device has no end.
    if (Protocol::holdsMarker(Protocol::fileNameOf(filePath)) || !QFileInfo(filePath).isFile())
        return announce(TransOpenFailed);
    // One handle for hashing and sending: a file replaced on disk between
    // the two cannot slip in contents that the digest does not describe.
    // Unbuffered, as blocks are read straight into the block to send.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !hashFile(file, &m_md5Hex) ||
        !file.seek(0))
        return announce(TransOpenFailed);
    announce(TransStarted);
    if (stopping())
        return announce(TransAborted);
    const QByteArray header = Protocol::buildHeader(Protocol::fileNameOf(filePath), m_size,
                                                    m_options.withMd5 ? m_md5Hex : QByteArray());
    // Counts from before the first write. A socket lost while the file was
    // hashed may be gone already.
    UnackedBytes unacked(watch.lost() ? nullptr : device);
    return sendBlocks(device, watch, unacked, file, header);
}

// Hashes exactly the announced size: the contents sent later stop at the
// same size, and are hashed again as they are read, so a file changed in
// between is caught. The thread's events keep running, as hashing a large
// file takes seconds.
bool FileSender::hashFile(QFile &file, QByteArray *md5Hex)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (quint64 left = m_size; left > 0;) {
        if (stopping())
            return true; // the caller reports the stop; the digest is unused
        const QByteArray piece = file.read(qint64(qMin<quint64>(left, HashBlock)));
        if (piece.isEmpty())
            return false;
        hash.addData(piece);
        left -= quint64(piece.size());
        QCoreApplication::processEvents();
    }
    *md5Hex = hash.result().toHex();
    file_md5.set(QString::fromLatin1(*md5Hex));
    qDebug() << "file_md5" << QString::fromLatin1(*md5Hex);
    return true;
}

int FileSender::sendBlocks(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked,
                           QFile &file, const QByteArray &header)
{
    SendPacer pacer(m_options.pace);
    m_largestBlock = int(pacer.largestBlock());
    m_bytesRead = 0;
    m_bytesWritten = 0;
    m_sentHash.reset();
    QElapsedTimer sinceReport;
    QByteArray block = header;
    bool last = false;
    for (;;) {
        if (block.isEmpty()) {
            block = Protocol::endMarker();
            last = true;
        }
        const qint64 room = qMax(QueuedBlocks * blockSize(), MinQueuedBytes);
        if (const int code = waitForRoom(device, watch, unacked, room))
            return announce(code);
        if (watch.lost())
            return announce(TransDisconnected);
        unacked.write(block);
        pacer.wrote(block.size());
        m_bytesWritten += quint64(block.size());
        if (stopping())
            return announce(TransAborted);
        block.clear();
        if (!last) {
            if (const int code = readBlock(file, &block))
                return announce(code);
        }
        if (last || pacer.reportsEveryBlock() || !sinceReport.isValid() ||
            sinceReport.elapsed() >= ReportEveryMs) {
            sinceReport.start();
            announce(TransProgress);
        }
        QCoreApplication::processEvents();
        if (last)
            return finish(device, watch, unacked);
        pacer.waitToWrite(block.isEmpty() ? Protocol::endMarker().size() : block.size());
    }
}

// Holds the send back while more than a few blocks still wait in the socket,
// so memory stays flat when the peer reads slowly. The thread's events run
// meanwhile. A peer that stops reading fails the send here as at its end.
int FileSender::waitForRoom(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked,
                            qint64 limit)
{
    if (watch.lost() || device->bytesToWrite() <= limit)
        return 0;
    return codeOf(device, unacked.waitForRoom(limit, rules(watch)));
}

// Done means the controller's side acknowledged every byte: bytes that left
// for the system are still lost if the controller resets before it takes
// them.
int FileSender::finish(QTcpSocket *device, ConnectionWatch &watch, UnackedBytes &unacked)
{
    const int code = codeOf(device, unacked.waitForAll(rules(watch)));
    return announce(code == 0 ? TransDone : code);
}

UnackedBytes::Rules FileSender::rules(ConnectionWatch &watch) const
{
    return {[&watch] { return watch.lost(); }, [this] { return stopping(); }, m_options.ackStallMs};
}

// 0 once acknowledged. A controller that takes nothing for ackStallMs has
// stopped reading; the connection is closed then, as a reset would have.
int FileSender::codeOf(QTcpSocket *device, UnackedBytes::Outcome outcome)
{
    switch (outcome) {
    case UnackedBytes::Acknowledged:
        return 0;
    case UnackedBytes::Stopped:
        return TransAborted;
    case UnackedBytes::Stalled:
        if (device)
            device->abort();
        break;
    case UnackedBytes::Lost:
        break;
    }
    return TransDisconnected;
}

// The next block, never past the size that was announced and hashed. A read
// error, or a file that shrank, fails the send instead of ending it early;
// contents that differ from those hashed fail it before the end marker.
int FileSender::readBlock(QFile &file, QByteArray *block)
{
    const quint64 left = m_size - m_bytesRead;
    const qint64 wanted = qint64(qMin<quint64>(left, quint64(blockSize())));
    if (wanted == 0)
        return 0;
    *block = file.read(wanted);
    m_bytesRead += quint64(block->size());
    if (block->size() != wanted)
        return TransReadFailed;
    m_sentHash.addData(*block);
    if (m_bytesRead == m_size && m_sentHash.result().toHex() != m_md5Hex)
        return TransChanged;
    return 0;
}

bool FileSender::stopping() const
{
    return (m_options.stopRequested && *m_options.stopRequested) ||
           (m_options.cancel && *m_options.cancel);
}

int FileSender::blockSize() const
{
    const int size =
        m_options.liveBufferSize ? m_options.liveBufferSize->load() : m_options.bufferSize;
    return qBound(Limits::MinBufferSize, size, m_largestBlock);
}

int FileSender::announce(int code)
{
    if (code == TransStarted)
        m_sinceStart.start();
    if (m_onEvent)
        m_onEvent({code, m_size, m_bytesRead, m_bytesWritten,
                   m_sinceStart.isValid() ? m_sinceStart.elapsed() : 0, m_md5Hex});
    return code;
}
