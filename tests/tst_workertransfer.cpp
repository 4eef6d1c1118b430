// Whole files through the network worker, with the controller stand-in as
// the peer on 127.0.0.1:8080 (each test binary has its own network
// namespace): sends, receives, back-pressure towards the controller, and
// commands that arrive while a send runs.

#include "faildevice.h"
#include "net/sendthread.h"
#include "net/workercommands.h"
#include "settings/defaults.h"
#include "standinprocess.h"
#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/limits.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>
#include <QWaitCondition>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

using namespace TestFiles;

namespace {

constexpr int WaitMs = 10000;
constexpr int BlockSize = Defaults::BufferSize;
// Paced at one block per millisecond at most, a send of this takes over
// five seconds: long enough to be interrupted for sure.
constexpr qint64 BigSize = 64 * 1024 * 1024;

int contentBlocks(qint64 size, int bufferSize)
{
    return int((size + bufferSize - 1) / bufferSize);
}

// Started, one progress per block (header, contents, end marker), the end.
QList<int> sendCodes(int blocks, int end = TransDone)
{
    QList<int> codes{TransStarted};
    for (int i = 0; i < blocks + 2; ++i)
        codes << TransProgress;
    return codes << end;
}

bool receptionEnded(int lastCode)
{
    return lastCode != -1 && lastCode != RecStarted && lastCode != RecProgress;
}

// Started, any progress, done: nothing else.
bool isCleanReception(const QList<int> &codes)
{
    if (codes.size() < 2 || codes.first() != RecStarted || codes.last() != RecDone)
        return false;
    return codes.count(RecProgress) == codes.size() - 2;
}

QByteArray codeText(const QList<int> &codes)
{
    QByteArray text;
    for (int code : codes)
        text += QByteArray::number(code) + ' ';
    return text;
}

void postCommand(sendThread *worker, int command)
{
    QMetaObject::invokeMethod(worker, "handleCmd", Qt::QueuedConnection, Q_ARG(int, command));
}

// The codes of one signal, recorded in the thread that emits them.
class CodeLog
{
public:
    // Runs in the emitting thread after each code, with the number of times
    // that code has been seen so far.
    using Hook = std::function<void(int code, int seen)>;

    void record(int code)
    {
        Hook hook;
        int seen = 0;
        {
            QMutexLocker locker(&m_mutex);
            m_codes.append(code);
            seen = int(m_codes.count(code));
            hook = m_hook;
        }
        if (hook)
            hook(code, seen);
    }
    void setHook(Hook hook)
    {
        QMutexLocker locker(&m_mutex);
        m_hook = std::move(hook);
    }
    void reset()
    {
        QMutexLocker locker(&m_mutex);
        m_codes.clear();
        m_hook = nullptr;
    }
    QList<int> codes() const
    {
        QMutexLocker locker(&m_mutex);
        return m_codes;
    }
    int count(int code) const { return int(codes().count(code)); }
    int last() const
    {
        const QList<int> all = codes();
        return all.isEmpty() ? -1 : all.last();
    }
    int endCodes() const
    {
        const QList<int> all = codes();
        return int(std::count_if(all.cbegin(), all.cend(), endsSend));
    }

private:
    mutable QMutex m_mutex;
    QList<int> m_codes;
    Hook m_hook;
};

// Stands in for a slow disk in the engine's writing thread. While paced it
// holds each write back until fill() is at `high`, then lets writes through
// until fill() is down to `low`, so that the queue swings between the two.
class PacedDisk
{
public:
    PacedDisk(std::function<qint64()> fill, qint64 high, qint64 low)
        : m_fill(std::move(fill)), m_high(high), m_low(low)
    {}

    void write(const char *data, qint64 size)
    {
        QMutexLocker locker(&m_mutex);
        // Nothing tells when the fill changes: look again shortly.
        while (!mayWrite())
            m_paceChanged.wait(&m_mutex, 1);
        m_md5.addData(data, int(size));
    }
    // From now on every write goes through, and fill() is never called again.
    void stopPacing()
    {
        QMutexLocker locker(&m_mutex);
        m_paced = false;
        m_paceChanged.wakeAll();
    }
    QByteArray md5()
    {
        QMutexLocker locker(&m_mutex);
        return m_md5.result();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration StandStill = std::chrono::milliseconds(100);

    // A chunk without contents passes no write, so the queue can stop just
    // under `high` for good: a fill that stands still lets writes through too.
    bool mayWrite()
    {
        if (!m_paced)
            return true;
        const qint64 fill = m_fill();
        const Clock::time_point now = Clock::now();
        if (fill != m_lastFill) {
            m_lastFill = fill;
            m_lastChange = now;
        }
        if (m_draining)
            m_draining = fill > m_low;
        else
            m_draining = fill >= m_high || (fill > m_low && now - m_lastChange >= StandStill);
        return m_draining;
    }

    const std::function<qint64()> m_fill;
    const qint64 m_high;
    const qint64 m_low;
    QMutex m_mutex;
    QWaitCondition m_paceChanged;
    // Guarded by m_mutex.
    bool m_paced = true;
    bool m_draining = false;
    qint64 m_lastFill = -1;
    Clock::time_point m_lastChange;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
};

} // namespace

class tst_WorkerTransfer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsWholeFile_data();
    void sendsWholeFile();
    void receivesWholeFile_data();
    void receivesWholeFile();
    void slowDiskHoldsQueueAtItsLimit();
    void disconnectDuringSend_data();
    void disconnectDuringSend();
    void teardownDuringSend_data();
    void teardownDuringSend();
    void writesDuringSendWaitForIt();

private:
    QString workPath(const QString &name) const { return m_work->filePath(name); }
    QString storeDir() const { return workPath(QStringLiteral("store")); }
    QString inboxDir() const { return workPath(QStringLiteral("inbox")); }
    QString writeBigFile();
    bool startSim(const QStringList &arguments = QStringList());
    void startWorker(ReceiveDisk disk = {});
    bool connectWorker();
    void sendFile(const QString &path);
    bool waitForSendEnd(int timeoutMs = WaitMs);

    std::unique_ptr<QTemporaryDir> m_work;
    StandInProcess m_sim{WaitMs};
    std::unique_ptr<sendThread> m_worker;
    std::unique_ptr<PacedDisk> m_disk;
    CodeLog m_sent;
    CodeLog m_received;
};

void tst_WorkerTransfer::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    QVERIFY(QDir().mkpath(inboxDir()));
    saveFilePath.set(inboxDir());
}

// The engine may be held in a paced write: release it before the worker
// waits for the engine to end.
void tst_WorkerTransfer::cleanup()
{
    if (m_disk)
        m_disk->stopPacing();
    m_worker.reset();
    m_disk.reset();
    m_sim.stop();
    m_sent.reset();
    m_received.reset();
}

// Zeros without taking memory or disk.
QString tst_WorkerTransfer::writeBigFile()
{
    const QString path = workPath(QStringLiteral("big.bin"));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(BigSize) ? path : QString();
}

bool tst_WorkerTransfer::startSim(const QStringList &arguments)
{
    return m_sim.startOnLoopback(storeDir(), arguments, m_work->path());
}

// Started the way the window starts it: the object moves into itself.
void tst_WorkerTransfer::startWorker(ReceiveDisk disk)
{
    m_worker = std::make_unique<sendThread>(std::move(disk));
    m_worker->controllerAddress.set(QStringLiteral("127.0.0.1"));
    connect(
        m_worker.get(), &sendThread::sendTransState, m_worker.get(),
        [this](int code) { m_sent.record(code); }, Qt::DirectConnection);
    connect(
        m_worker.get(), &sendThread::sendRecState, m_worker.get(),
        [this](int code) { m_received.record(code); }, Qt::DirectConnection);
    m_worker->moveToThread(m_worker.get());
    m_worker->start();
}

bool tst_WorkerTransfer::connectWorker()
{
    postCommand(m_worker.get(), CmdConnect);
    return !m_sim.waitForLine(QStringLiteral("connected 127.0.0.1:")).isNull() &&
           QTest::qWaitFor(
               [this] { return m_worker->clientState() == QAbstractSocket::ConnectedState; },
               WaitMs);
}

void tst_WorkerTransfer::sendFile(const QString &path)
{
    m_worker->filePath.set(path);
    m_worker->sendLink = LinkClient;
    postCommand(m_worker.get(), CmdSendFile);
}

bool tst_WorkerTransfer::waitForSendEnd(int timeoutMs)
{
    return QTest::qWaitFor(
        [this] {
            const int last = m_sent.last();
            return last != -1 && endsSend(last);
        },
        timeoutMs);
}

void tst_WorkerTransfer::sendsWholeFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bufferSize");

    QTest::newRow("empty") << 0 << BlockSize;
    QTest::newRow("1 byte") << 1 << BlockSize;
    QTest::newRow("one block") << BlockSize << BlockSize;
    QTest::newRow("one block and a byte") << BlockSize + 1 << BlockSize;
    QTest::newRow("3 MiB") << 3 * 1024 * 1024 + 5 << BlockSize;
    QTest::newRow("3 MiB, 64 KiB blocks") << 3 * 1024 * 1024 + 5 << 65536;
}

void tst_WorkerTransfer::sendsWholeFile()
{
    QFETCH(int, size);
    QFETCH(int, bufferSize);
    const QString name = QStringLiteral("payload.bin");
    const QByteArray contents = noise(size, quint32(size));
    QVERIFY(writeFile(workPath(name), contents));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    startWorker();
    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));
    m_worker->bufferSize = bufferSize;

    sendFile(workPath(name));

    QVERIFY(waitForSendEnd(3 * WaitMs));
    QCOMPARE(m_sent.codes(), sendCodes(contentBlocks(size, bufferSize)));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: %1 (%2 bytes) MD5 ok").arg(name).arg(size));
    QCOMPARE(readFile(storeDir() + QLatin1Char('/') + name), contents);
    QCOMPARE(m_worker->fileSize.load(), quint64(size));
    QCOMPARE(m_worker->bytesRead.load(), quint64(size));
    const QByteArray header = Protocol::buildHeader(name, quint64(size), md5Hex(contents));
    QCOMPARE(m_worker->bytesWritten.load(),
             quint64(header.size() + size + Protocol::endMarker().size()));
}

void tst_WorkerTransfer::receivesWholeFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("options");

    const QString noMd5 = QStringLiteral("--no-md5");
    const QString noPace = QStringLiteral("--no-pace");
    const int large = 3 * 1024 * 1024 + 11;
    QTest::newRow("empty") << 0 << QStringList();
    QTest::newRow("small") << 40000 << QStringList();
    QTest::newRow("small, no MD5") << 40000 << QStringList{noMd5};
    QTest::newRow("small, no pace") << 40000 << QStringList{noPace};
    QTest::newRow("3 MiB") << large << QStringList();
    QTest::newRow("3 MiB, no MD5") << large << QStringList{noMd5};
    QTest::newRow("3 MiB, no pace") << large << QStringList{noPace};
    QTest::newRow("3 MiB, no MD5, no pace") << large << QStringList{noMd5, noPace};
}

void tst_WorkerTransfer::receivesWholeFile()
{
    QFETCH(int, size);
    QFETCH(QStringList, options);
    const QString name = QStringLiteral("out.bin");
    const QByteArray contents = noise(size, quint32(size) + 7);
    QVERIFY(writeFile(workPath(name), contents));
    QVERIFY2(startSim(QStringList{QStringLiteral("--send"), workPath(name)} + options),
             qPrintable(m_sim.seenOutput()));
    startWorker();

    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));

    QTRY_VERIFY_WITH_TIMEOUT(receptionEnded(m_received.last()), 3 * WaitMs);
    QVERIFY2(isCleanReception(m_received.codes()), codeText(m_received.codes()).constData());
    QCOMPARE(QDir(inboxDir()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
    QCOMPARE(readFile(inboxDir() + QLatin1Char('/') + name), contents);
    QCOMPARE(recFileBytes.load(), quint64(size));
    QCOMPARE(recFileSize.load(), quint64(size));
}

// The engine's disk writes are held back: each waits until the worker's
// queue is at its limit, then writes go through until the queue is down to
// half, again and again. The worker must stop reading the socket at the
// limit each time (TCP then holds the stand-in back), so memory stays
// bounded, and take up reading again when there is room; the file arrives
// whole and in order.
void tst_WorkerTransfer::slowDiskHoldsQueueAtItsLimit()
{
    const QString name = QStringLiteral("big.bin");
    const QByteArray contents = noise(16 * 1024 * 1024 + 3, 31);
    QVERIFY(writeFile(workPath(name), contents));
    // The engine writes only once the worker is connected, long after
    // m_worker is set.
    m_disk = std::make_unique<PacedDisk>([this] { return m_worker->recThread->queuedBytes(); },
                                         receiveThread::MaxQueuedBytes,
                                         receiveThread::MaxQueuedBytes / 2);
    startWorker(slowDisk(
        [disk = m_disk.get()](const char *data, qint64 size) { disk->write(data, size); }));
    receiveThread *const engine = m_worker->recThread;
    QVERIFY2(startSim({QStringLiteral("--send"), workPath(name), QStringLiteral("--no-pace")}),
             qPrintable(m_sim.seenOutput()));

    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));

    // The rest may never fill the queue again.
    QVERIFY2(!m_sim.waitForLine(QStringLiteral("sent ") + name, 6 * WaitMs).isNull(),
             qPrintable(m_sim.seenOutput()));
    m_disk->stopPacing();
    QTRY_VERIFY_WITH_TIMEOUT(m_received.last() == RecDone, 3 * WaitMs);
    QVERIFY2(isCleanReception(m_received.codes()), codeText(m_received.codes()).constData());
    QCOMPARE(m_disk->md5(), QCryptographicHash::hash(contents, QCryptographicHash::Md5));
    // The limit was reached, and passed by one read at most.
    const qint64 peakBytes = engine->peakQueuedBytes();
    QVERIFY2(peakBytes >= receiveThread::MaxQueuedBytes &&
                 peakBytes <= receiveThread::MaxQueuedBytes + Limits::SocketReadBytes,
             QByteArray::number(peakBytes).constData());
}

void tst_WorkerTransfer::disconnectDuringSend_data()
{
    QTest::addColumn<int>("disconnects");
    QTest::addColumn<bool>("socketReplaced");

    QTest::newRow("once: disconnects from the host") << 1 << false;
    // The second finds the socket closing or closed and replaces it, while
    // the send still writes to it.
    QTest::newRow("twice: replaces the socket") << 2 << true;
}

void tst_WorkerTransfer::disconnectDuringSend()
{
    QFETCH(int, disconnects);
    QFETCH(bool, socketReplaced);
    const QString big = writeBigFile();
    QVERIFY(!big.isEmpty());
    const QByteArray small = noise(50000, 41);
    QVERIFY(writeFile(workPath(QStringLiteral("small.bin")), small));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    startWorker();
    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));
    QTcpSocket *const sending = m_worker->clientSocket.load();
    // Posted from the send's own report, so they surely land inside it.
    sendThread *const worker = m_worker.get();
    m_sent.setHook([worker, disconnects](int code, int seen) {
        if (code == TransProgress && seen == 1) {
            for (int i = 0; i < disconnects; ++i)
                postCommand(worker, CmdDisconnect);
        }
    });

    sendFile(big);

    QTRY_VERIFY_WITH_TIMEOUT(m_sent.count(TransProgress) > 0, WaitMs);
    QElapsedTimer sinceDisconnect;
    sinceDisconnect.start();
    QVERIFY(waitForSendEnd(5000));
    QVERIFY2(sinceDisconnect.elapsed() < 5000,
             QByteArray::number(sinceDisconnect.elapsed()).constData());
    QCOMPARE(m_sent.last(), int(TransDisconnected));
    QVERIFY(m_worker->bytesWritten < quint64(3 * BlockSize));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("disconnected")), QStringLiteral("disconnected"));
    QTRY_COMPARE(m_worker->clientState(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_worker->clientSocket.load() != sending, socketReplaced);
    QCOMPARE(m_sent.endCodes(), 1);

    // The worker is fit for the next connection and send.
    m_sent.reset();
    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));
    sendFile(workPath(QStringLiteral("small.bin")));
    QVERIFY(waitForSendEnd());
    QCOMPARE(m_sent.codes(), sendCodes(contentBlocks(small.size(), BlockSize)));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: small.bin (50000 bytes) MD5 ok"));
}

void tst_WorkerTransfer::teardownDuringSend_data()
{
    QTest::addColumn<bool>("deleteWorker");

    QTest::newRow("worker deleted") << true;
    QTest::newRow("shut down, quit and wait") << false;
}

void tst_WorkerTransfer::teardownDuringSend()
{
    QFETCH(bool, deleteWorker);
    const QString big = writeBigFile();
    QVERIFY(!big.isEmpty());
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    startWorker();
    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));
    sendFile(big);
    QTRY_VERIFY_WITH_TIMEOUT(m_sent.count(TransProgress) > 0, WaitMs);
    const int blocksBefore = m_sent.count(TransProgress);
    QElapsedTimer clock;
    clock.start();

    if (deleteWorker) {
        m_worker.reset();
    } else {
        m_worker->stop();
        m_worker->quit();
        QVERIFY(m_worker->wait(WaitMs));
    }

    QVERIFY2(clock.elapsed() < 2000, QByteArray::number(clock.elapsed()).constData());
    QCOMPARE(m_sent.last(), int(TransAborted));
    QCOMPARE(m_sent.endCodes(), 1);
    const int blocksAfter = m_sent.count(TransProgress) - blocksBefore;
    QVERIFY2(blocksAfter <= 2, QByteArray::number(blocksAfter).constData());
}

void tst_WorkerTransfer::writesDuringSendWaitForIt()
{
    const QByteArray first = noise(1024 * 1024 + 3, 51);
    const QByteArray second = noise(300000, 52);
    const QString firstPath = workPath(QStringLiteral("first.bin"));
    const QString secondPath = workPath(QStringLiteral("second.bin"));
    QVERIFY(writeFile(firstPath, first));
    QVERIFY(writeFile(secondPath, second));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    startWorker();
    QVERIFY2(connectWorker(), qPrintable(m_sim.seenOutput()));
    // Posted from the first send's own report, so they surely land inside it.
    sendThread *const worker = m_worker.get();
    m_sent.setHook([worker, secondPath](int code, int seen) {
        if (code != TransProgress || seen != 1)
            return;
        postCommand(worker, CmdTest);
        worker->filePath.set(secondPath);
        postCommand(worker, CmdSendFile);
    });

    sendFile(firstPath);

    QTRY_COMPARE_WITH_TIMEOUT(m_sent.endCodes(), 2, 3 * WaitMs);
    QCOMPARE(m_sent.codes(), sendCodes(contentBlocks(first.size(), BlockSize)) +
                                 sendCodes(contentBlocks(second.size(), BlockSize)));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: first.bin (%1 bytes) MD5 ok").arg(first.size()));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("raw data received")),
             QStringLiteral("raw data received (8 bytes): ") +
                 QString::fromUtf8(Protocol::greeting()));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: second.bin (%1 bytes) MD5 ok").arg(second.size()));
    QCOMPARE(readFile(storeDir() + QStringLiteral("/first.bin")), first);
    QCOMPARE(readFile(storeDir() + QStringLiteral("/second.bin")), second);
}

QTEST_GUILESS_MAIN(tst_WorkerTransfer)
#include "tst_workertransfer.moc"
