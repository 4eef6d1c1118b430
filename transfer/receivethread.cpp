#include "transfer/receivethread.h"

#include "net/kvrcodes.h"
#include "transfer/filereceiver.h"
#include "transfer/protocol.h"
#include "transfer/sharedvalues.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>

receiveThread::receiveThread()
    : QThread(nullptr), recvQueue(new QList<QByteArray>), startMarker(Protocol::startMarkerText()),
      endMarker(Protocol::endMarkerText()), sizeMarker(Protocol::sizeMarkerText()),
      sizeEndMarker(Protocol::sizeEndMarkerText()), md5Marker(Protocol::md5MarkerText()),
      md5EndMarker(Protocol::md5EndMarkerText())
{}

receiveThread::~receiveThread()
{
    // The owner normally stops and waits first; never destroy a running loop.
    if (isRunning()) {
        stop();
        wait();
    }
    delete recvQueue;
}

void receiveThread::stop()
{
    m_stopRequested = true;
    running = false;
    QMutexLocker locker(&queueMutex);
    m_queueChanged.wakeAll();
}

void receiveThread::appendChunks(const QList<QByteArray> &chunks)
{
    qint64 bytes = 0;
    for (const QByteArray &chunk : chunks)
        bytes += chunk.size();
    QMutexLocker locker(&queueMutex);
    recvQueue->append(chunks);
    m_queuedChunks += chunks.size();
    m_queuedBytes += bytes;
    m_queueChanged.wakeAll();
}

void receiveThread::run()
{
    if (m_stopRequested)
        return;
    running = true;
    QElapsedTimer clock;
    clock.start();
    FileReceiver receiver([] { return saveFilePath.get(); },
                          [this](int code, const FileReceiver &r) { publish(code, r); });
    QByteArray chunk;
    while (!m_stopRequested) {
        if (takeChunk(&chunk, receiver.msUntilTimeout(clock.elapsed())))
            receiver.feed(chunk, clock.elapsed());
        if (m_stopRequested)
            break;
        receiver.poll(clock.elapsed());
    }
    running = false;
}

// Waits up to waitMs (forever when negative) for a chunk. Waiting on the
// condition rather than polling keeps an idle receiver off the CPU.
bool receiveThread::takeChunk(QByteArray *chunk, qint64 waitMs)
{
    QMutexLocker locker(&queueMutex);
    if (recvQueue->isEmpty() && !m_stopRequested) {
        const QDeadlineTimer deadline = waitMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                   : QDeadlineTimer(waitMs, Qt::PreciseTimer);
        m_queueChanged.wait(&queueMutex, deadline);
    }
    if (recvQueue->isEmpty())
        return false;
    *chunk = recvQueue->takeFirst();
    m_queuedChunks -= 1;
    m_queuedBytes -= chunk->size();
    return true;
}

void receiveThread::publish(int code, const FileReceiver &receiver)
{
    if (code == RecRawData) {
        rawData.set(receiver.lastRawData());
    } else {
        recFileSize = receiver.announcedSize();
        recFileBytes = receiver.fileBytes();
        recTotalBytes = receiver.totalBytes();
    }
    emit sendRecState(code);
}
