#pragma once

#include "transfer/receivedisk.h"
#include "transfer/transferevents.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class FileReceiver;

// The receive engine: a thread that takes the chunks the network worker
// queues, writes the files they carry into the receive directory
// (saveFilePath), by the rule for files already there (existingFilesRule),
// and reports every step by receiveEvent (the code with its
// own values) and sendRecState(int). It also publishes the process-wide
// receive statistics (recFileSize, recFileBytes, recTotalBytes, rawData)
// just before each code.
//
// The object lives in the thread that created it; only run() executes in
// the receive thread. The owner ends it with stopThread() before
// deleting it.
class receiveThread : public QThread
{
    Q_OBJECT

public:
    // Files are written to disk, the real one unless a stand-in is given.
    explicit receiveThread(ReceiveDisk disk = {});
    ~receiveThread() override;

    // Past either limit the producer should stop adding until queueHasRoom().
    // Chunks the engine has taken count until it has handled them, so these
    // bound the memory of the whole hand-off.
    static constexpr int MaxQueuedChunks = 4096;
    static constexpr qint64 MaxQueuedBytes = 2 * 1024 * 1024;
    // Progress is announced at most this often: no display shows more.
    static constexpr qint64 ProgressIntervalMs = 10;

    void stop();

    // Appends the chunks of one arrival, in order, and wakes the loop.
    void appendChunks(const QList<QByteArray> &chunks);
    // Marks the end of the connection that fed the queue: once the engine
    // has taken every chunk appended before, an open transfer ends at once
    // (RecTimeout) instead of after the stall timeout. The partial file of
    // one the user stopped is removed; a cut one's stays.
    enum class StreamEnd { Closed, Stopped };
    void endOfStream(StreamEnd end = StreamEnd::Closed);
    // The producer leaves data unread (for a busy reader of the reports, or
    // a full queue) until it appends again or clears the hold: that time is
    // the tool's own and never counts as a stall of the controller.
    void holdReading(bool held);
    // True while the queue is under its limits. Otherwise false, and
    // queueHasRoom() follows once the engine has taken half of it.
    bool hasRoom();
    int queuedChunks() const { return m_queuedChunks.load(); }
    qint64 queuedBytes() const { return m_queuedBytes.load(); }
    // The most ever queued at once, for tests and benchmarks.
    int peakQueuedChunks() const { return m_peakChunks.load(); }
    qint64 peakQueuedBytes() const { return m_peakBytes.load(); }

    // Chunks waiting to be parsed, oldest first. Guarded by queueMutex;
    // append through appendChunks() so that the loop is woken.
    QList<QByteArray> *recvQueue;
    QMutex queueMutex;

    const QString startMarker;
    const QString endMarker;
    const QString sizeMarker;
    const QString sizeEndMarker;
    const QString md5Marker;
    const QString md5EndMarker;

signals:
    void sendRecState(int state);
    // The same code with the values of its own event; emitted first.
    void receiveEvent(const ReceiveEvent &event);
    // Emitted from the receive thread; connect it queued.
    void queueHasRoom();

protected:
    void run() override;

private:
    enum class Taken { Nothing, Chunks, EndOfStream };

    Taken take(QList<QByteArray> *batch, qint64 waitMs, bool *held);
    Taken takeLocked(QList<QByteArray> *batch);
    void release(const QList<QByteArray> &batch);
    void publish(const ReceiveEvent &event, const FileReceiver &receiver);

    const ReceiveDisk m_disk;
    QWaitCondition m_queueChanged;
    // Receive thread only.
    QElapsedTimer m_sinceProgress;
    // Guarded by queueMutex: chunks ever appended and taken, and for each
    // end of stream the append count at which it was marked.
    quint64 m_appended = 0;
    quint64 m_taken = 0;
    QList<quint64> m_streamEnds;
    QList<StreamEnd> m_streamEndKinds; // beside m_streamEnds
    // Receive thread only: the end of stream taken last was a stop.
    bool m_endStopped = false;
    bool m_roomWanted = false;
    bool m_readingHeld = false;
    std::atomic<int> m_peakChunks{0};
    std::atomic<qint64> m_peakBytes{0};
    std::atomic<bool> running{false}; // NOLINT(readability-identifier-naming)
    std::atomic<bool> m_stopRequested{false};
    std::atomic<int> m_queuedChunks{0};
    std::atomic<qint64> m_queuedBytes{0};
};
