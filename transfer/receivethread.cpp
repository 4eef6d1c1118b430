#include "transfer/receivethread.h"

#include "transfer/crossthreadvalues.h"
#include "transfer/filereceiver.h"
#include "transfer/protocol.h"
#include "transfer/stopthread.h"
#include "transfer/streamreceiver.h"
#include "transfer/transfercodes.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>

receiveThread::receiveThread(ReceiveDisk disk)
    : QThread(nullptr), recvQueue(new QList<QByteArray>), startMarker(Protocol::startMarkerText()),
      endMarker(Protocol::endMarkerText()), sizeMarker(Protocol::sizeMarkerText()),
      sizeEndMarker(Protocol::sizeEndMarkerText()), md5Marker(Protocol::md5MarkerText()),
      md5EndMarker(Protocol::md5EndMarkerText()), m_disk(std::move(disk))
{}

receiveThread::~receiveThread()
{
    // The owner normally stops and waits first; never destroy a running loop.
    if (isRunning())
        stopThread(this);
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
    m_readingHeld = false;
    m_appended += quint64(chunks.size());
    const int queuedChunks = m_queuedChunks += chunks.size();
    const qint64 queuedBytes = m_queuedBytes += bytes;
    // Only appenders raise the peaks, and they hold the lock.
    if (queuedChunks > m_peakChunks)
        m_peakChunks = queuedChunks;
    if (queuedBytes > m_peakBytes)
        m_peakBytes = queuedBytes;
    m_queueChanged.wakeAll();
}

void receiveThread::endOfStream(StreamEnd end)
{
    QMutexLocker locker(&queueMutex);
    if (m_streamEnds.isEmpty() || m_streamEnds.last() != m_appended) {
        m_streamEnds.append(m_appended);
        m_streamEndKinds.append(end);
    } else if (end == StreamEnd::Stopped) {
        m_streamEndKinds.last() = end;
    }
    m_queueChanged.wakeAll();
}

void receiveThread::holdReading(bool held)
{
    QMutexLocker locker(&queueMutex);
    m_readingHeld = held;
    m_queueChanged.wakeAll();
}

bool receiveThread::hasRoom()
{
    QMutexLocker locker(&queueMutex);
    if (m_queuedChunks < MaxQueuedChunks && m_queuedBytes < MaxQueuedBytes)
        return true;
    m_roomWanted = true;
    return false;
}

void receiveThread::run()
{
    if (m_stopRequested)
        return;
    running = true;
    // The event carries a short text of raw data; rawData holds the chunk.
    StreamReceiver stream(
        [] { return saveFilePath.get(); },
        [this, &stream](const ReceiveEvent &event) { publish(event, stream.receiver()); }, m_disk);
    QList<QByteArray> batch;
    bool held = false;
    while (!m_stopRequested) {
        const Taken taken = take(&batch, held ? -1 : stream.msUntilTimeout(), &held);
        stream.setHeld(held);
        switch (taken) {
        case Taken::Chunks:
            stream.setExistingFiles(existingFilesRule.load());
            stream.feed(batch);
            release(batch);
            batch.clear();
            break;
        case Taken::EndOfStream:
            stream.endOfStream(std::exchange(m_endStopped, false) ? ReceptionCut::Stopped
                                                                  : ReceptionCut::StreamEnded);
            break;
        case Taken::Nothing:
            // Only an empty queue can mean a stall.
            stream.poll();
            break;
        }
    }
    running = false;
}

// Waits up to waitMs (forever when negative) for chunks, an end of stream
// or a change of the producer's hold, which it reports in held. Waiting on
// the condition rather than polling keeps an idle receiver off the CPU.
receiveThread::Taken receiveThread::take(QList<QByteArray> *batch, qint64 waitMs, bool *held)
{
    QMutexLocker locker(&queueMutex);
    if (recvQueue->isEmpty() && m_streamEnds.isEmpty() && !m_stopRequested &&
        m_readingHeld == *held) {
        const QDeadlineTimer deadline = waitMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                   : QDeadlineTimer(waitMs, Qt::PreciseTimer);
        m_queueChanged.wait(&queueMutex, deadline);
    }
    *held = m_readingHeld;
    return takeLocked(batch);
}

// Every chunk queued, in one go, up to the next end of stream.
receiveThread::Taken receiveThread::takeLocked(QList<QByteArray> *batch)
{
    if (!m_streamEnds.isEmpty() && m_streamEnds.first() == m_taken) {
        m_streamEnds.removeFirst();
        m_endStopped = m_streamEndKinds.takeFirst() == StreamEnd::Stopped;
        return Taken::EndOfStream;
    }
    if (recvQueue->isEmpty())
        return Taken::Nothing;
    const int count =
        m_streamEnds.isEmpty() ? recvQueue->size() : int(m_streamEnds.first() - m_taken);
    if (count == recvQueue->size()) {
        batch->swap(*recvQueue);
    } else {
        *batch = recvQueue->mid(0, count);
        recvQueue->erase(recvQueue->begin(), recvQueue->begin() + count);
    }
    m_taken += quint64(count);
    return Taken::Chunks;
}

// A batch handled is memory given back: the producer may read again once
// half of the limit is free.
void receiveThread::release(const QList<QByteArray> &batch)
{
    qint64 bytes = 0;
    for (const QByteArray &chunk : batch)
        bytes += chunk.size();
    bool roomMade = false;
    {
        QMutexLocker locker(&queueMutex);
        m_queuedChunks -= batch.size();
        m_queuedBytes -= bytes;
        if (m_roomWanted && m_queuedChunks <= MaxQueuedChunks / 2 &&
            m_queuedBytes <= MaxQueuedBytes / 2) {
            m_roomWanted = false;
            roomMade = true;
        }
    }
    if (roomMade)
        emit queueHasRoom();
}

void receiveThread::publish(const ReceiveEvent &event, const FileReceiver &receiver)
{
    if (event.code == RecProgress && m_sinceProgress.isValid() &&
        m_sinceProgress.elapsed() < ProgressIntervalMs)
        return; // the next code carries the newer figures
    if (event.code == RecStarted || event.code == RecProgress)
        m_sinceProgress.start();
    if (event.code == RecTimeout && event.cut == ReceptionCut::Stopped)
        QFile::remove(receiver.partPath());
    if (event.code == RecRawData) {
        rawData.set(receiver.lastRawData());
    } else {
        recFileSize = event.fileSize;
        recFileBytes = event.fileBytes;
        recTotalBytes = event.totalBytes;
    }
    emit receiveEvent(event);
    emit sendRecState(event.code);
}
