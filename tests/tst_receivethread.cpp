#include "faildevice.h"
#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/frameparser.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "transfer/stopthread.h"
#include "transfer/transfercodes.h"

#include <QtTest>

#include <atomic>
#include <mutex>

using namespace TestFiles;

namespace {

// A started receive thread writing into a temporary directory. Codes are
// recorded in the receive thread, with the time since the last append.
struct Engine
{
    explicit Engine(bool started = true, ReceiveDisk disk = {}) : thread(std::move(disk))
    {
        saveFilePath.set(dir.path());
        QObject::connect(
            &thread, &receiveThread::sendRecState, &thread,
            [this](int code) {
                const std::lock_guard<QMutex> locker(mutex);
                codes << code;
                if (code == RecTimeout)
                    msToTimeout = sinceAppend.elapsed();
            },
            Qt::DirectConnection);
        if (started)
            thread.start();
    }
    ~Engine() { stopThread(&thread); }
    void append(const QList<QByteArray> &chunks)
    {
        {
            QMutexLocker locker(&mutex);
            sinceAppend.start();
        }
        thread.appendChunks(chunks);
    }
    QList<int> recorded()
    {
        QMutexLocker locker(&mutex);
        return codes;
    }
    QString path(const QString &name) const { return dir.path() + QLatin1Char('/') + name; }
    // The partial file of a reception of `name`, by the name it is shown as.
    QString partial(const QString &name) const
    {
        for (const QString &file : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden)) {
            if (partialAsNamed(file) == name + QStringLiteral(".part"))
                return path(file);
        }
        return QString();
    }

    QTemporaryDir dir;
    receiveThread thread;
    QMutex mutex;
    QList<int> codes;
    QElapsedTimer sinceAppend;
    qint64 msToTimeout = -1;
};

} // namespace

class tst_ReceiveThread : public QObject
{
    Q_OBJECT

private slots:
    void markers();
    void receivesFileAndPublishesStatistics();
    void existingFilesGoByTheSessionsRule();
    void rawDataIsPublished();
    void stallIsReportedAfterMoreThanOneSecond();
    void slowWriteIsNoStall();
    void stopWithOpenFileKeepsPartial();
    void stopBeforeStart();
    void queueCountsFollowTheQueue();
    void endOfStreamFollowsQueuedChunks();
    void fullQueueAsksForRoom_data();
    void fullQueueAsksForRoom();
};

void tst_ReceiveThread::markers()
{
    receiveThread thread;
    QCOMPARE(thread.startMarker.toUtf8(), Protocol::startMarker());
    QCOMPARE(thread.endMarker.toUtf8(), Protocol::endMarker());
    QCOMPARE(thread.sizeMarker.toUtf8(), Protocol::sizeMarker());
    QCOMPARE(thread.sizeEndMarker.toUtf8(), Protocol::sizeEndMarker());
    QCOMPARE(thread.md5Marker.toUtf8(), Protocol::md5Marker());
    QCOMPARE(thread.md5EndMarker.toUtf8(), Protocol::md5EndMarker());
}

void tst_ReceiveThread::receivesFileAndPublishesStatistics()
{
    Engine engine;
    const QByteArray contents = randomBytes(100000, 21);
    const QByteArray stream = framed(QStringLiteral("r.bin"), contents);
    engine.append(chunked(stream, 12000));
    QTRY_COMPARE(engine.recorded().value(engine.recorded().size() - 1, -1), int(RecDone));
    const QList<int> codes = engine.recorded();
    QCOMPARE(codes.first(), int(RecStarted));
    QCOMPARE(codes.count(RecProgress), codes.size() - 2);
    QCOMPARE(readFile(engine.path(QStringLiteral("r.bin"))), contents);
    QCOMPARE(recFileSize.load(), quint64(contents.size()));
    QCOMPARE(recFileBytes.load(), quint64(contents.size()));
    QCOMPARE(recTotalBytes.load(), quint64(stream.size()));
}

// The rule the window's session sets reaches the engine's thread.
void tst_ReceiveThread::existingFilesGoByTheSessionsRule()
{
    Engine engine;
    QVERIFY(writeFile(engine.path(QStringLiteral("r.bin")), "older"));
    existingFilesRule = ExistingFiles::KeepBoth;
    engine.append({framed(QStringLiteral("r.bin"), "newer")});
    QTRY_COMPARE(engine.recorded().value(engine.recorded().size() - 1, -1), int(RecDone));
    existingFilesRule = ExistingFiles::Overwrite;
    QCOMPARE(readFile(engine.path(QStringLiteral("r.bin"))), QByteArray("older"));
    QCOMPARE(readFile(engine.path(QStringLiteral("r (1).bin"))), QByteArray("newer"));
}

void tst_ReceiveThread::rawDataIsPublished()
{
    Engine engine;
    engine.append({Protocol::greeting()});
    QTRY_COMPARE(engine.recorded(), QList<int>{RecRawData});
    QCOMPARE(rawData.get(), Protocol::greeting());
}

// The loop waits on the queue, not on a spin; the stall still shows between
// 1000 and 1100 ms after the last data.
void tst_ReceiveThread::stallIsReportedAfterMoreThanOneSecond()
{
    Engine engine;
    engine.append({framed(QStringLiteral("s"), randomBytes(5000, 22)).left(3000)});
    // Noticed without further data; how soon depends on the machine's load.
    QTRY_COMPARE_WITH_TIMEOUT(engine.recorded().value(1, -1), int(RecTimeout), 5000);
    QMutexLocker locker(&engine.mutex);
    QVERIFY2(engine.msToTimeout > 1000, qPrintable(QString::number(engine.msToTimeout)));
}

// A write that blocks for longer than the stall limit, with the rest of the
// file queued behind it, is a slow disk and not a silent sender.
void tst_ReceiveThread::slowWriteIsNoStall()
{
    std::atomic<int> writes{0};
    Engine engine(true, slowDisk([&writes](const char *, qint64) {
                      if (writes++ == 0)
                          QThread::msleep(FrameParser::TimeoutMs * 3 / 2);
                  }));
    const QByteArray contents = randomBytes(50000, 26);
    engine.append(chunked(framed(QStringLiteral("slow.bin"), contents), 12000));
    QTRY_VERIFY_WITH_TIMEOUT(engine.recorded().size() >= 2 &&
                                 engine.recorded().last() != RecStarted &&
                                 engine.recorded().last() != RecProgress,
                             10000);
    QCOMPARE(engine.recorded().last(), int(RecDone));
    QCOMPARE(readFile(engine.path(QStringLiteral("slow.bin"))), contents);
    QVERIFY(writes > 0);
}

void tst_ReceiveThread::stopWithOpenFileKeepsPartial()
{
    auto engine = std::make_unique<Engine>();
    engine->append({framed(QStringLiteral("p"), randomBytes(5000, 23)).left(2000)});
    QTRY_COMPARE(engine->recorded(), QList<int>{RecStarted});
    const QString partial = engine->partial(QStringLiteral("p"));
    const QString dirPath = engine->dir.path();
    engine->dir.setAutoRemove(false);
    engine.reset();
    QVERIFY(QFileInfo(partial).size() > 0);
    QDir(dirPath).removeRecursively();
}

void tst_ReceiveThread::stopBeforeStart()
{
    receiveThread thread;
    thread.stop();
    thread.start();
    QVERIFY(thread.wait(5000));
}

void tst_ReceiveThread::queueCountsFollowTheQueue()
{
    Engine engine;
    engine.append({QByteArray(10, 'a'), QByteArray(), QByteArray(7, 'b')});
    QTRY_COMPARE(engine.thread.queuedChunks(), 0);
    QCOMPARE(engine.thread.queuedBytes(), qint64(0));
    QTRY_COMPARE(engine.recorded(), (QList<int>{RecRawData, RecRawData}));
}

// A closed connection ends the open file once the chunks queued before the
// close are written, at once rather than after a stall, and a file that a
// new connection brings does not join it.
void tst_ReceiveThread::endOfStreamFollowsQueuedChunks()
{
    Engine engine(false);
    const QByteArray cut = framed(QStringLiteral("cut"), randomBytes(5000, 24)).left(3000);
    const QByteArray next = randomBytes(2000, 25);
    engine.append(chunked(cut, 1000));
    engine.thread.endOfStream();
    engine.thread.endOfStream(); // a second end with nothing between is one end
    engine.append({framed(QStringLiteral("next"), next)});
    QElapsedTimer clock;
    clock.start();
    engine.thread.start();
    // How many RecProgress come depends on how the chunks were taken.
    const auto withoutProgress = [&engine] {
        QList<int> codes = engine.recorded();
        codes.removeAll(RecProgress);
        return codes;
    };
    const QList<int> expected{RecStarted, RecTimeout, RecStarted, RecDone};
    QTRY_COMPARE(withoutProgress(), expected);
    QVERIFY2(clock.elapsed() < FrameParser::TimeoutMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(readFile(engine.path(QStringLiteral("next"))), next);
    QCOMPARE(QFileInfo(engine.partial(QStringLiteral("cut"))).size(),
             qint64(3000 - Protocol::buildHeader(QStringLiteral("cut"), 5000, md5Hex("x")).size()));
}

void tst_ReceiveThread::fullQueueAsksForRoom_data()
{
    QTest::addColumn<int>("chunks");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<bool>("room");
    const int maxChunks = receiveThread::MaxQueuedChunks;
    const int maxBytes = int(receiveThread::MaxQueuedBytes);
    QTest::newRow("one chunk short") << maxChunks - 1 << 1 << true;
    QTest::newRow("chunk limit") << maxChunks << 1 << false;
    QTest::newRow("one byte short") << 1 << maxBytes - 1 << true;
    QTest::newRow("byte limit") << 1 << maxBytes << false;
    QTest::newRow("byte limit in several chunks") << 8 << maxBytes / 8 << false;
}

// The producer is told to hold off at either limit, and hears once the
// engine has taken the queue down to half; unasked, it hears nothing.
void tst_ReceiveThread::fullQueueAsksForRoom()
{
    QFETCH(int, chunks);
    QFETCH(int, chunkSize);
    QFETCH(bool, room);
    Engine engine(false);
    int roomMade = 0; // counted in this thread, as the worker would
    QObject context;
    QObject::connect(
        &engine.thread, &receiveThread::queueHasRoom, &context, [&] { ++roomMade; },
        Qt::QueuedConnection);
    QList<QByteArray> queued;
    for (int i = 0; i < chunks; ++i)
        queued << QByteArray(chunkSize, 'a');
    engine.append(queued);
    QCOMPARE(engine.thread.peakQueuedChunks(), chunks);
    QCOMPARE(engine.thread.peakQueuedBytes(), qint64(chunks) * chunkSize);
    QCOMPARE(engine.thread.hasRoom(), room);
    engine.thread.start();
    QTRY_COMPARE(engine.thread.queuedChunks(), 0);
    QTRY_COMPARE(roomMade, room ? 0 : 1);
    QCOMPARE(engine.thread.peakQueuedChunks(), chunks);
}

QTEST_GUILESS_MAIN(tst_ReceiveThread)
#include "tst_receivethread.moc"
