// The network worker against a real server on 127.0.0.1:8080: commands,
// connection states, error texts, the greeting and the hand-off of incoming
// bytes to the receive engine.

#include "net/sendthread.h"
#include "net/workercommands.h"
#include "settings/defaults.h"
#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/limits.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "transfer/stopthread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

using namespace TestFiles;

namespace {

using State = QAbstractSocket::SocketState;
using States = QList<State>;
constexpr State Unconnected = QAbstractSocket::UnconnectedState;
constexpr State HostLookup = QAbstractSocket::HostLookupState;
constexpr State Connecting = QAbstractSocket::ConnectingState;
constexpr State Connected = QAbstractSocket::ConnectedState;
constexpr State Closing = QAbstractSocket::ClosingState;

constexpr int WaitMs = 10000;

QString loopback()
{
    return QStringLiteral("127.0.0.1");
}

// Fails in the resolver of the test's namespace; nothing leaves the host.
QString unknownHost()
{
    return QStringLiteral("no-such-host.invalid");
}

// Written out rather than taken from Protocol, so a wrong greeting shows.
QByteArray greeting()
{
    return QByteArrayLiteral("\xE4\xBD\xA0\xE5\xA5\xBD!!");
}

// Bytes without the start marker's first byte: the engine then reports each
// chunk whole as one piece of raw data and holds nothing back.
QByteArray rawBytes(int size)
{
    return randomBytes(size, 7).replace(Protocol::startMarker().at(0), 'x');
}

// A started worker, a server on 127.0.0.1:8080 and a record of everything
// the worker reports. The worker's signals arrive queued in this thread. The
// engine's own codes are taken in the receive thread, right after it has
// published rawData for them, so each RecRawData gives exactly one chunk the
// worker queued: that is how chunk sizes are observed.
struct Fixture
{
    explicit Fixture(bool listen = true)
    {
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { acceptPeers(); });
        if (listen)
            QVERIFY(server.listen(QHostAddress::LocalHost, Protocol::ControllerPort));
        record();
        worker.controllerAddress.set(loopback());
        clock.start();
        worker.moveToThread(&worker);
        worker.start();
    }
    ~Fixture() { stopThread(&worker); }

    void record()
    {
        QObject::connect(&worker, &sendThread::onSocketStateChange, &context,
                         [this](State state) { states << state; });
        QObject::connect(&worker, &sendThread::onClientErrorOccurs, &context,
                         [this](QTcpSocket *socket) { errors << socket; });
        QObject::connect(&worker, &sendThread::sendRecState, &context, [this](int code) {
            recCodes << code;
            recMs << clock.elapsed();
        });
        QObject::connect(&worker, &sendThread::sendTransState, &context,
                         [this](int code) { transCodes << code; });
        QObject::connect(
            worker.recThread, &receiveThread::sendRecState, worker.recThread,
            [this](int code) {
                const std::lock_guard<QMutex> locker(engineMutex);
                engineCodes << code;
                if (code == RecRawData)
                    rawChunks << rawData.get();
            },
            Qt::DirectConnection);
    }

    void acceptPeers()
    {
        while (QTcpSocket *peer = server.nextPendingConnection()) {
            peers << peer;
            QObject::connect(peer, &QTcpSocket::readyRead, peer,
                             [this, peer] { received += peer->readAll(); });
        }
    }

    void command(int code)
    {
        QMetaObject::invokeMethod(&worker, "handleCmd", Qt::QueuedConnection, Q_ARG(int, code));
    }
    // Runs f in the worker thread, in order with the commands.
    template <typename F> void inWorker(F f)
    {
        QMetaObject::invokeMethod(&worker, std::move(f), Qt::QueuedConnection);
    }
    // Returns once everything the worker did and emitted before now has
    // reached this thread: the round trip queues behind it both ways.
    bool sync()
    {
        const int ticket = ++syncsSent;
        inWorker([this, ticket] {
            QMetaObject::invokeMethod(
                &context, [this, ticket] { syncsDone = ticket; }, Qt::QueuedConnection);
        });
        return QTest::qWaitFor([this, ticket] { return syncsDone >= ticket; }, WaitMs);
    }
    bool connectToServer()
    {
        const int before = peers.size();
        command(CmdConnect);
        return QTest::qWaitFor(
            [this, before] {
                return worker.clientState() == Connected && states.endsWith(Connected) &&
                       peers.size() > before;
            },
            WaitMs);
    }
    bool nothingReported() const
    {
        return states.isEmpty() && errors.isEmpty() && recCodes.isEmpty() && transCodes.isEmpty();
    }
    QList<QByteArray> chunks()
    {
        QMutexLocker locker(&engineMutex);
        return rawChunks;
    }
    QList<int> engineCodesSeen()
    {
        QMutexLocker locker(&engineMutex);
        return engineCodes;
    }

    QElapsedTimer clock;
    QTcpServer server;
    QList<QTcpSocket *> peers;
    QByteArray received;
    // Written in the receive thread until the worker is destroyed.
    QMutex engineMutex;
    QList<int> engineCodes;
    QList<QByteArray> rawChunks;

    QObject context;
    States states;
    QList<QTcpSocket *> errors;
    QList<int> recCodes;
    QList<qint64> recMs;
    QList<int> transCodes;
    int syncsSent = 0;
    int syncsDone = 0;
    sendThread worker;
};

QString fieldsOf(sendThread &w)
{
    const auto number = [](quint64 value) { return QString::number(value); };
    return QStringList{number(quint64(w.sendLink)),
                       number(quint64(w.recvLink)),
                       number(quintptr(w.currentDevice.load())),
                       number(quintptr(w.clientSocket.load())),
                       number(w.stopRequested),
                       number(w.fileSize),
                       number(w.bytesRead),
                       number(w.bytesWritten),
                       number(quint64(w.bufferSize)),
                       number(quint64(w.clientState())),
                       w.controllerAddress.get(),
                       w.filePath.get()}
        .join(QLatin1Char(','));
}

QList<int> sizesOf(const QList<QByteArray> &chunks)
{
    QList<int> sizes;
    for (const QByteArray &chunk : chunks)
        sizes << chunk.size();
    return sizes;
}

QByteArray sizesText(const QList<int> &sizes)
{
    QByteArrayList texts;
    for (const int size : sizes)
        texts << QByteArray::number(size);
    return "chunk sizes: " + texts.join(' ');
}

// Deleting a socket may give its memory to the next one, so a changed
// pointer cannot tell a replaced socket; its destroyed() signal can.
void watchForDeletion(sendThread &worker, std::atomic<bool> &deleted)
{
    QObject::connect(worker.clientSocket.load(), &QObject::destroyed,
                     [&deleted] { deleted = true; });
}

} // namespace

class tst_SendThread : public QObject
{
    Q_OBJECT

private slots:
    void connectDisconnectReconnect();
    void connectIsIgnoredUnlessUnconnected_data();
    void connectIsIgnoredUnlessUnconnected();
    void disconnectWhileConnectingLeavesFreshSocket();
    void disconnectWhileUnconnectedMakesAFreshSocket();
    void connectionFailures_data();
    void connectionFailures();
    void errorTextsStayPairedWithErrors();
    void greetingGoesOutExactly();
    void stopMadeBeforeTheSendStillStopsIt();
    void unknownCommandsDoNothing_data();
    void unknownCommandsDoNothing();
    void incomingDataIsChunked_data();
    void incomingDataIsChunked();
    void emptyReadQueuesOneEmptyChunk();
    void receivedFileCodesAreForwarded();
    void closeInFileEndsReceptionAtOnce_data();
    void closeInFileEndsReceptionAtOnce();
    void closeWhileHeldKeepsTheTail();
    void unhandledReportsHoldReadingBack();
    void deletingAnUnstartedWorker_data();
    void deletingAnUnstartedWorker();
};

void tst_SendThread::connectDisconnectReconnect()
{
    Fixture f;
    QVERIFY(f.connectToServer());
    QCOMPARE(f.states, (States{HostLookup, Connecting, Connected}));
    QCOMPARE(f.worker.clientState(), Connected);

    f.command(CmdDisconnect);
    QTRY_COMPARE(f.states, (States{HostLookup, Connecting, Connected, Closing, Unconnected}));
    QCOMPARE(f.worker.clientState(), Unconnected);
    QTRY_COMPARE(f.peers.first()->state(), Unconnected);

    QVERIFY(f.connectToServer());
    QCOMPARE(f.states.mid(5), (States{HostLookup, Connecting, Connected}));
    QCOMPARE(f.worker.clientState(), Connected);
    QCOMPARE(f.peers.size(), 2);
}

void tst_SendThread::connectIsIgnoredUnlessUnconnected_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("connectFirst");
    QTest::addColumn<State>("stateAtRepeat");
    QTest::addColumn<States>("expectedStates");
    QTest::addColumn<int>("expectedErrors");
    QTest::addColumn<int>("expectedConnections");

    QTest::newRow("looking up") << unknownHost() << false << HostLookup
                                << States{HostLookup, Unconnected} << 1 << 0;
    QTest::newRow("connecting") << loopback() << false << Connecting
                                << States{HostLookup, Connecting, Connected} << 0 << 1;
    QTest::newRow("connected") << loopback() << true << Connected << States{} << 0 << 1;
}

// The repeated CmdConnect runs in the same worker event as the first one,
// so it certainly meets the state the first one left.
void tst_SendThread::connectIsIgnoredUnlessUnconnected()
{
    QFETCH(QString, address);
    QFETCH(bool, connectFirst);
    QFETCH(State, stateAtRepeat);
    QFETCH(States, expectedStates);
    QFETCH(int, expectedErrors);
    QFETCH(int, expectedConnections);

    std::atomic<State> stateSeen{Unconnected};
    Fixture f;
    f.worker.controllerAddress.set(address);
    if (connectFirst) {
        QVERIFY(f.connectToServer());
        f.states.clear();
    }
    f.inWorker([&f, &stateSeen, connectFirst] {
        if (!connectFirst)
            f.worker.handleCmd(CmdConnect);
        stateSeen = f.worker.clientState();
        f.worker.handleCmd(CmdConnect);
    });
    QTRY_COMPARE(f.states, expectedStates);
    QTRY_COMPARE(f.peers.size(), expectedConnections);
    QVERIFY(f.sync());
    QCOMPARE(stateSeen.load(), stateAtRepeat);
    QCOMPARE(f.states, expectedStates);
    QCOMPARE(f.errors.size(), expectedErrors);
    // Picks up a connection the kernel holds but this thread has not heard of.
    f.server.waitForNewConnection(0);
    QCOMPARE(f.peers.size(), expectedConnections);
}

void tst_SendThread::disconnectWhileConnectingLeavesFreshSocket()
{
    std::atomic<bool> oldDeleted{false};
    std::atomic<State> stateAtDisconnect{Unconnected};
    Fixture f;
    f.inWorker([&] {
        watchForDeletion(f.worker, oldDeleted);
        f.worker.handleCmd(CmdConnect);
        stateAtDisconnect = f.worker.clientState();
        f.worker.handleCmd(CmdDisconnect);
    });
    QVERIFY(f.sync());
    QCOMPARE(stateAtDisconnect.load(), Connecting);
    QVERIFY(oldDeleted);
    QVERIFY(f.worker.clientSocket.load());
    QCOMPARE(f.worker.clientState(), Unconnected);
    QCOMPARE(f.states.value(f.states.size() - 1), Unconnected);

    QVERIFY(f.connectToServer());
    f.command(CmdTest);
    QTRY_COMPARE(f.received, greeting());
}

// The socket's read buffer bounds every read, and the worker queues each
// read as one chunk when bufferSize is larger than the read: chunk sizes
// above 100 would mean the replacement kept the old read buffer.
// The fresh socket cuts what it reads by the buffer size current then.
void tst_SendThread::disconnectWhileUnconnectedMakesAFreshSocket()
{
    std::atomic<bool> oldDeleted{false};
    Fixture f;
    f.inWorker([&] { watchForDeletion(f.worker, oldDeleted); });
    f.command(CmdDisconnect);
    QVERIFY(f.sync());
    QVERIFY(oldDeleted);
    QCOMPARE(f.worker.clientState(), Unconnected);
    QVERIFY(f.nothingReported());

    f.worker.bufferSize = 100;
    QVERIFY(f.connectToServer());
    const QByteArray data = rawBytes(10000);
    f.peers.last()->write(data);
    QTRY_COMPARE(f.chunks().join(), data);
    const QList<int> sizes = sizesOf(f.chunks());
    QVERIFY2(*std::max_element(sizes.cbegin(), sizes.cend()) <= 100, sizesText(sizes));
}

void tst_SendThread::connectionFailures_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<States>("expectedStates");
    QTest::addColumn<QString>("expectedText");

    QTest::newRow("refused") << loopback() << States{HostLookup, Connecting, Unconnected}
                             << QStringLiteral("Connection refused");
    QTest::newRow("unknown host") << unknownHost() << States{HostLookup, Unconnected}
                                  << QStringLiteral("Host not found");
}

void tst_SendThread::connectionFailures()
{
    QFETCH(QString, address);
    QFETCH(States, expectedStates);
    QFETCH(QString, expectedText);

    Fixture f(false);
    f.worker.controllerAddress.set(address);
    f.command(CmdConnect);
    QTRY_COMPARE(f.states, expectedStates);
    QVERIFY(f.sync());
    QCOMPARE(f.states, expectedStates);
    QCOMPARE(f.errors.size(), 1);
    QCOMPARE(f.errors.first(), f.worker.clientSocket.load());
    QCOMPARE(f.worker.clientState(), Unconnected);
    QCOMPARE(f.worker.takeClientErrorText(), expectedText);
    QCOMPARE(f.worker.takeClientErrorText(), QString());
}

void tst_SendThread::errorTextsStayPairedWithErrors()
{
    Fixture f(false);
    f.command(CmdConnect);
    QTRY_VERIFY(f.errors.size() == 1 && f.states.endsWith(Unconnected));
    f.worker.controllerAddress.set(unknownHost());
    f.command(CmdConnect);
    QTRY_VERIFY(f.errors.size() == 2 && f.states.endsWith(Unconnected));
    QVERIFY(f.sync());
    QCOMPARE(f.errors.size(), 2);
    QCOMPARE(f.worker.takeClientErrorText(), QStringLiteral("Connection refused"));
    QCOMPARE(f.worker.takeClientErrorText(), QStringLiteral("Host not found"));
    QCOMPARE(f.worker.takeClientErrorText(), QString());
}

// A second greeting shows that nothing followed the first one.
void tst_SendThread::greetingGoesOutExactly()
{
    Fixture f;
    QVERIFY(f.connectToServer());
    f.command(CmdTest);
    QTRY_COMPARE(f.received, greeting());
    f.command(CmdTest);
    QTRY_COMPARE(f.received, greeting() + greeting());
    QVERIFY(f.sync());
    QVERIFY(f.transCodes.isEmpty());
}

// The window hands the file over and then stops it, before the worker has
// taken the command: the stop is meant for this file, however short.
void tst_SendThread::stopMadeBeforeTheSendStillStopsIt()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("short.bin"));
    QVERIFY(writeFile(path, randomBytes(10, 4)));
    Fixture f;
    QVERIFY(f.connectToServer());
    f.worker.filePath.set(path);
    f.worker.stopRequested = true;
    f.command(CmdSendFile);
    QTRY_VERIFY(!f.transCodes.isEmpty() && endsSend(f.transCodes.last()));
    QCOMPARE(f.transCodes, (QList<int>{TransStarted, TransAborted}));
    QVERIFY(f.sync());
    QCOMPARE(f.received, QByteArray());
}

void tst_SendThread::unknownCommandsDoNothing_data()
{
    QTest::addColumn<int>("code");
    for (const int code : {0, 1, 6, -1, 13})
        QTest::addRow("%d", code) << code;
}

// Checked unconnected (a code taken for CmdConnect would show) and
// connected (one taken for CmdDisconnect, CmdTest or CmdSendFile would).
void tst_SendThread::unknownCommandsDoNothing()
{
    QFETCH(int, code);

    Fixture f;
    f.worker.filePath.set(QStringLiteral("/nonexistent/file"));
    f.worker.fileSize = 7;
    f.worker.bytesRead = 5;
    f.worker.bytesWritten = 3;
    QString before = fieldsOf(f.worker);
    f.command(code);
    QVERIFY(f.sync());
    QVERIFY(f.nothingReported());
    QCOMPARE(fieldsOf(f.worker), before);

    QVERIFY(f.connectToServer());
    f.states.clear();
    // The greeting names the connection it goes to.
    f.worker.currentDevice = f.worker.clientSocket.load();
    before = fieldsOf(f.worker);
    f.command(code);
    f.command(CmdTest);
    QTRY_COMPARE(f.received, greeting());
    QVERIFY(f.sync());
    QVERIFY(f.nothingReported());
    QCOMPARE(fieldsOf(f.worker), before);
    QCOMPARE(f.peers.size(), 1);
}

void tst_SendThread::incomingDataIsChunked_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<QList<int>>("expectedSizes");

    QTest::newRow("30000 at 12000") << 30000 << 12000 << QList<int>{};
    QTest::newRow("30000, lowered to 1000") << 30000 << 1000 << QList<int>{};
    QTest::newRow("3, lowered to 1") << 3 << 1 << QList<int>{1, 1, 1};
    // Out of range, the size is taken as 1 rather than cutting endless
    // empty chunks.
    QTest::newRow("3, set to 0") << 3 << 0 << QList<int>{1, 1, 1};
    QTest::newRow("3, set below 0") << 3 << -5 << QList<int>{1, 1, 1};
}

// Each read is cut into chunks of the bufferSize current then.
void tst_SendThread::incomingDataIsChunked()
{
    QFETCH(int, size);
    QFETCH(int, bufferSize);
    QFETCH(QList<int>, expectedSizes);

    Fixture f;
    QVERIFY(f.connectToServer());
    QCOMPARE(f.worker.recvLink.load(), int(LinkNone));
    f.worker.bufferSize = bufferSize;
    const QByteArray data = rawBytes(size);
    f.peers.last()->write(data);
    QTRY_COMPARE(f.chunks().join(), data);
    const QList<int> sizes = sizesOf(f.chunks());
    for (const int chunkSize : sizes)
        QVERIFY2(chunkSize <= qMax(1, bufferSize), sizesText(sizes));
    if (!expectedSizes.isEmpty())
        QCOMPARE(sizes, expectedSizes);
    QTRY_COMPARE(f.worker.recvLink.load(), int(LinkClient));
}

// Nothing outside makes a socket signal readyRead with nothing to read, so
// the worker's slot is invoked the way that signal would invoke it.
void tst_SendThread::emptyReadQueuesOneEmptyChunk()
{
    Fixture f;
    QVERIFY(f.connectToServer());
    QMetaObject::invokeMethod(&f.worker, "onSocketReadyRead", Qt::QueuedConnection);
    QTRY_COMPARE(f.worker.recvLink.load(), int(LinkClient));
    QCOMPARE(f.worker.recThread->peakQueuedChunks(), 1);
    QCOMPARE(f.worker.recThread->peakQueuedBytes(), qint64(0));
    QTRY_COMPARE(f.worker.recThread->queuedChunks(), 0);
    QVERIFY(f.engineCodesSeen().isEmpty());
}

void tst_SendThread::receivedFileCodesAreForwarded()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    saveFilePath.set(dir.path());
    Fixture f;
    QVERIFY(f.connectToServer());
    const QByteArray contents = randomBytes(30000, 8);
    f.peers.last()->write(framed(QStringLiteral("small.bin"), contents));
    QTRY_VERIFY(f.recCodes.endsWith(RecDone));
    QCOMPARE(f.recCodes.first(), int(RecStarted));
    QCOMPARE(f.recCodes.count(RecProgress), f.recCodes.size() - 2);
    QCOMPARE(f.recCodes, f.engineCodesSeen());
    QCOMPARE(readFile(dir.path() + QStringLiteral("/small.bin")), contents);
}

void tst_SendThread::closeInFileEndsReceptionAtOnce_data()
{
    QTest::addColumn<bool>("stopped"); // by CmdStopReception, else the peer closes
    QTest::addColumn<int>("partFiles");
    QTest::newRow("the controller closes: the partial file stays") << false << 1;
    QTest::newRow("stopped: the partial file goes") << true << 0;
}

// Without the end-of-stream hand-off the engine would wait out its 1000 ms
// stall, counted from data that left after the clock started.
void tst_SendThread::closeInFileEndsReceptionAtOnce()
{
    QFETCH(bool, stopped);
    QFETCH(int, partFiles);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    saveFilePath.set(dir.path());
    Fixture f;
    QVERIFY(f.connectToServer());
    QTcpSocket *peer = f.peers.last();
    peer->write(framed(QStringLiteral("cut.bin"), randomBytes(20000, 9)).left(8000));
    peer->flush();
    QTRY_VERIFY(f.recCodes.contains(RecStarted));
    const qint64 closedAt = f.clock.elapsed();
    if (stopped)
        f.command(CmdStopReception);
    else
        peer->disconnectFromHost();
    QTRY_VERIFY(f.recCodes.endsWith(RecTimeout));
    const qint64 ms = f.recMs.last() - closedAt;
    QVERIFY2(ms < 900, qPrintable(QString::number(ms)));
    QCOMPARE(f.recCodes.first(), int(RecStarted));
    QCOMPARE(f.recCodes, f.engineCodesSeen());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), partFiles);
    QTRY_COMPARE(peer->state(), Unconnected);
    QCOMPARE(f.worker.clientState(), Unconnected);
}

// Bytes left in the socket while the engine is behind belong before the end
// of the stream: a controller that sends a file and hangs up at once must
// not lose the file's tail to the close.
void tst_SendThread::closeWhileHeldKeepsTheTail()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    saveFilePath.set(dir.path());
    Fixture f;
    QSemaphore engineGo;
    std::atomic<bool> holdEngine{true};
    QObject::connect(
        f.worker.recThread, &receiveThread::sendRecState, f.worker.recThread,
        [&](int) {
            if (holdEngine.exchange(false))
                engineGo.acquire();
        },
        Qt::DirectConnection);
    const auto letEngineGo = qScopeGuard([&] { engineGo.release(); });
    QVERIFY(f.connectToServer());
    QTcpSocket *peer = f.peers.last();
    peer->write(QByteArrayLiteral("a")); // the engine stops in its report of this
    QTRY_COMPARE(f.engineCodesSeen(), QList<int>{RecRawData});
    f.worker.bufferSize = 1; // every byte a chunk: the queue fills at once

    // More one-byte chunks than the queue takes.
    const QByteArray contents(receiveThread::MaxQueuedChunks + 1000, 'c');
    const QByteArray stream = framed(QStringLiteral("tail.bin"), contents, false);
    const int tail = 100;
    peer->write(stream.left(stream.size() - tail));
    QTRY_VERIFY(f.worker.recThread->queuedChunks() >= receiveThread::MaxQueuedChunks);
    peer->write(stream.right(tail));
    peer->disconnectFromHost();
    QTRY_COMPARE(f.worker.clientState(), Unconnected);

    engineGo.release();
    QTRY_VERIFY(f.recCodes.endsWith(RecDone));
    QVERIFY(!f.recCodes.contains(RecTimeout));
    QCOMPARE(readFile(dir.path() + QStringLiteral("/tail.bin")), contents);
}

// A reader that falls behind on its receive reports holds the controller
// back, instead of letting them pile up; as it catches up, the rest follows
// in order.
void tst_SendThread::unhandledReportsHoldReadingBack()
{
    constexpr int Limit = 8;
    // More than the queue holds: the events stop well short of them all.
    constexpr int Chunks = 2 * receiveThread::MaxQueuedChunks;
    Fixture f;
    f.worker.bufferSize = 8;
    f.command(CmdDisconnect); // a socket that reads 8 bytes at a time
    f.worker.limitUnhandledReceiveEvents(Limit);
    QVERIFY(f.connectToServer());
    bool acknowledging = false;
    QString shown;
    int reports = 0;
    QObject::connect(&f.worker, &sendThread::receiveEvent, &f.context, [&](const ReceiveEvent &r) {
        ++reports;
        shown += r.rawText;
        if (acknowledging)
            f.worker.receiveEventHandled();
    });
    // One numbered piece of text a chunk, so the order shows.
    QByteArray sent;
    for (int i = 0; i < Chunks; ++i)
        sent += QByteArray::number(i).rightJustified(8, '0');
    f.peers.last()->write(sent);

    QTRY_VERIFY_WITH_TIMEOUT(reports >= Limit, WaitMs);
    // At most what the engine had queued when the worker stopped reading:
    // the queue's limit, passed by one read at most.
    const int oneRead = int(Limits::SocketReadBytes / Defaults::BufferSize) + 1;
    const int bound = Limit + receiveThread::MaxQueuedChunks + oneRead;
    QVERIFY(!QTest::qWaitFor([&] { return reports > bound; }, 1000));

    acknowledging = true;
    for (int i = 0; i < reports; ++i)
        f.worker.receiveEventHandled();
    QTRY_COMPARE_WITH_TIMEOUT(reports, Chunks, WaitMs);
    QCOMPARE(shown, QString::fromLatin1(sent));
}

void tst_SendThread::deletingAnUnstartedWorker_data()
{
    QTest::addColumn<bool>("connect");
    QTest::addColumn<QByteArray>("incoming");

    QTest::newRow("never connected") << false << QByteArray();
    QTest::newRow("connected") << true << QByteArray();
    QTest::newRow("connected, bytes waiting") << true << greeting();
}

// Its socket then lives in this thread; destroying it must not call back
// into a worker that is half gone.
void tst_SendThread::deletingAnUnstartedWorker()
{
    QFETCH(bool, connect);
    QFETCH(QByteArray, incoming);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, Protocol::ControllerPort));
    auto worker = std::make_unique<sendThread>();
    if (connect) {
        worker->controllerAddress.set(loopback());
        worker->handleCmd(CmdConnect);
        QTRY_VERIFY_WITH_TIMEOUT(
            worker->clientState() == Connected && server.hasPendingConnections(), WaitMs);
        QTcpSocket *peer = server.nextPendingConnection();
        peer->write(incoming);
        QVERIFY(incoming.isEmpty() || peer->waitForBytesWritten(WaitMs));
    }
    worker.reset();
}

QTEST_GUILESS_MAIN(tst_SendThread)
#include "tst_sendthread.moc"
