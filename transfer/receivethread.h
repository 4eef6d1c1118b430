#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class FileReceiver;

// The receive engine: a thread that takes the chunks the network worker
// queues, writes the files they carry into the receive directory
// (saveFilePath) and reports every step by sendRecState(int) with a
// receive-state code. It publishes the receive statistics (recFileSize,
// recFileBytes, recTotalBytes, rawData) just before each code.
//
// The object lives in the thread that created it; only run() executes in
// the receive thread. The owner calls stop(), quit() and wait() before
// deleting it.
class receiveThread : public QThread
{
    Q_OBJECT

public:
    receiveThread();
    ~receiveThread() override;

    void stop();

    // Appends the chunks of one arrival, in order, and wakes the loop.
    void appendChunks(const QList<QByteArray> &chunks);
    int queuedChunks() const { return m_queuedChunks.load(); }
    qint64 queuedBytes() const { return m_queuedBytes.load(); }

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

protected:
    void run() override;

private:
    bool takeChunk(QByteArray *chunk, qint64 waitMs);
    void publish(int code, const FileReceiver &receiver);

    QWaitCondition m_queueChanged;
    std::atomic<bool> running{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<int> m_queuedChunks{0};
    std::atomic<qint64> m_queuedBytes{0};
};
