#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/filesender.h"
#include "transfer/pacing.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

using namespace TestFiles;

namespace {

// Stamps every write so that the pacing between blocks can be checked.
class StampingSocket : public QTcpSocket
{
public:
    QList<qint64> writeTimesNs;
    QList<qint64> writeSizes;
    QElapsedTimer clock;

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        writeTimesNs << clock.nsecsElapsed();
        writeSizes << size;
        return QTcpSocket::writeData(data, size);
    }
};

// A connected client socket and the server side that collects what arrives.
struct Link
{
    // peerReceiveBuffer: about how many unread bytes the peer's system takes.
    explicit Link(int peerReceiveBuffer = 0)
    {
        QVERIFY(server.listen(QHostAddress::LocalHost, 8080));
        if (peerReceiveBuffer > 0)
            QVERIFY(limitReceiveBuffer(server, peerReceiveBuffer));
        client.clock.start();
        client.connectToHost(QHostAddress::LocalHost, 8080);
        QVERIFY(client.waitForConnected(5000));
        QVERIFY(server.waitForNewConnection(5000));
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [this] {
            if (reading)
                received += peer->readAll();
        });
    }
    void startReading()
    {
        reading = true;
        received += peer->readAll();
    }

    QTcpServer server;
    StampingSocket client;
    QTcpSocket *peer = nullptr;
    QByteArray received;
    bool reading = true;
};

// What another thread would share with the sender, and the codes it
// announces with the counters of the last. onCode runs inside the sender's
// call, the way a nested slot would run inside a send.
struct Sender
{
    std::atomic<int> bufferSize{1000};
    std::atomic<bool> stopRequested{false};
    QList<int> codes;
    QList<qint64> progressNs; // since the send began
    SendEvent last;
    std::function<void(int code)> onCode;

    int send(QTcpSocket *socket, const QString &path, FileSender::Options options = {})
    {
        options.liveBufferSize = &bufferSize;
        options.stopRequested = &stopRequested;
        QElapsedTimer clock;
        clock.start();
        FileSender sender(
            [this, &clock](const SendEvent &event) {
                if (event.code == TransProgress)
                    progressNs << clock.nsecsElapsed();
                codes << event.code;
                last = event;
                if (onCode)
                    onCode(event.code);
            },
            options);
        return sender.send(socket, path);
    }
    int progressCount() const { return codes.count(TransProgress); }
};

QList<int> completeSend(int blocks)
{
    QList<int> codes{TransStarted};
    for (int i = 0; i < blocks + 2; ++i)
        codes << TransProgress;
    return codes << TransDone;
}

// The most bytes written within windowNs of any write.
qint64 mostBytesWithin(const QList<qint64> &timesNs, const QList<qint64> &sizes, qint64 windowNs)
{
    qint64 most = 0;
    qint64 inWindow = 0;
    for (int first = 0, end = 0; first < timesNs.size(); inWindow -= sizes[first++]) {
        for (; end < timesNs.size() && timesNs[end] - timesNs[first] < windowNs; ++end)
            inWindow += sizes[end];
        most = qMax(most, inWindow);
    }
    return most;
}

} // namespace

Q_DECLARE_METATYPE(SendPace)

class tst_FileSender : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_dir.isValid()); }
    void streamIsExact_data();
    void streamIsExact();
    void writesAreAtLeastOneMillisecondApart();
    void eachPaceSendsTheWholeStream_data();
    void eachPaceSendsTheWholeStream();
    void pauseTimerIsFineForTheSendOnly();
    void stopRequests_data();
    void stopRequests();
    void stopRequestBeforeStartIsCleared();
    void stopRequestWhileHashingIsHonoured();
    void cancelStopsSendAndStaysSet_data();
    void cancelStopsSendAndStaysSet();
    void lostConnectionEndsSend_data();
    void lostConnectionEndsSend();
    void openFailures_data();
    void openFailures();
    void fileChangedDuringSendFails_data();
    void fileChangedDuringSendFails();
    void sendBufferStaysBounded();
    void doneWaitsForAcknowledgement_data();
    void doneWaitsForAcknowledgement();

private:
    QString makeFile(const QString &name, const QByteArray &contents)
    {
        QString path = m_dir.path() + QLatin1Char('/') + name;
        writeFile(path, contents);
        return path;
    }
    QTemporaryDir m_dir;
};

void tst_FileSender::streamIsExact_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<bool>("withMd5");
    QTest::newRow("empty") << QStringLiteral("empty.txt") << QByteArray() << 1000 << true;
    QTest::newRow("one byte") << QStringLiteral("b") << QByteArray("x") << 1000 << true;
    QTest::newRow("exactly one block")
        << QStringLiteral("blk") << randomBytes(1000, 1) << 1000 << true;
    QTest::newRow("blocks and a rest")
        << QStringLiteral("数据.bin") << randomBytes(2500, 2) << 1000 << true;
    QTest::newRow("holds markers")
        << QStringLiteral("m") << Protocol::endMarker() + Protocol::startMarker() << 7 << true;
    QTest::newRow("without md5") << QStringLiteral("n") << randomBytes(1500, 3) << 1000 << false;
}

void tst_FileSender::streamIsExact()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, contents);
    QFETCH(int, bufferSize);
    QFETCH(bool, withMd5);
    Link link;
    Sender sender;
    sender.bufferSize = bufferSize;
    const QString path = makeFile(name, contents);
    QTest::ignoreMessage(
        QtDebugMsg,
        qPrintable(QStringLiteral("file_md5 \"%1\"").arg(QString::fromLatin1(md5Hex(contents)))));
    FileSender::Options options;
    options.withMd5 = withMd5;
    QCOMPARE(sender.send(&link.client, path, options), int(TransDone));
    QCOMPARE(link.client.bytesToWrite(), qint64(0));

    const QByteArray expected = framed(name, contents, withMd5);
    QTRY_COMPARE(link.received.size(), expected.size());
    QCOMPARE(link.received, expected);
    const int blocks = (contents.size() + bufferSize - 1) / bufferSize;
    QCOMPARE(sender.codes, completeSend(blocks));
    QCOMPARE(sender.last.fileSize, quint64(contents.size()));
    QCOMPARE(sender.last.bytesRead, quint64(contents.size()));
    const int digits = QByteArray::number(contents.size()).size();
    QCOMPARE(sender.last.bytesWritten,
             quint64((withMd5 ? 140 : 66) + name.toUtf8().size() + digits + contents.size() + 18));
    QCOMPARE(file_md5.get().toLatin1(), md5Hex(contents));
}

void tst_FileSender::writesAreAtLeastOneMillisecondApart()
{
    Link link;
    Sender sender;
    sender.bufferSize = 100;
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("p"), randomBytes(2000, 4))),
             int(TransDone));
    const QList<qint64> &times = link.client.writeTimesNs;
    QCOMPARE(times.size(), 22);
    for (int i = 1; i < times.size(); ++i)
        QVERIFY2(times[i] - times[i - 1] >= 1000 * 1000, qPrintable(QString::number(i)));
}

void tst_FileSender::eachPaceSendsTheWholeStream_data()
{
    QTest::addColumn<SendPace>("pace");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bufferSize");
    QTest::newRow("paced") << SendPace() << 200000 << 1000;
    QTest::newRow("full") << SendPace::full() << (8 << 20) << 12000;
    QTest::newRow("full, small blocks") << SendPace::full() << (1 << 20) << 100;
    // Long enough for many windows; slow blocks of a loaded machine only
    // leave a window emptier.
    QTest::newRow("a cap of 2 MB/s") << SendPace::cap(2) << 1600000 << 65536;
    QTest::newRow("a cap below a block per 10 ms") << SendPace::cap(0.2) << 120000 << 65536;
}

// Every pace delivers the same stream in blocks of at most bufferSize.
// Paced, each block is reported; otherwise a report comes at most every
// 10 ms, and the last always. A cap holds over any window of time: no
// window holds more than the rate allows, give or take a few blocks.
void tst_FileSender::eachPaceSendsTheWholeStream()
{
    QFETCH(SendPace, pace);
    QFETCH(int, size);
    QFETCH(int, bufferSize);
    Link link;
    Sender sender;
    sender.bufferSize = bufferSize;
    const QByteArray contents = randomBytes(size, 21);
    FileSender::Options options;
    options.pace = pace;
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("pace"), contents), options),
             int(TransDone));
    QTRY_COMPARE(link.received.size(), int(sender.last.bytesWritten));
    QCOMPARE(link.received, framed(QStringLiteral("pace"), contents));
    const QList<qint64> &sizes = link.client.writeSizes;
    QVERIFY(*std::max_element(sizes.begin() + 1, sizes.end()) <= bufferSize);
    QCOMPARE(sender.codes.first(), int(TransStarted));
    QCOMPARE(sender.codes.last(), int(TransDone));
    const QList<qint64> &reports = sender.progressNs;
    if (pace.mode == SendPace::Mode::Paced)
        QCOMPARE(reports.size(), sizes.size());
    for (int i = 1; pace.mode != SendPace::Mode::Paced && i + 1 < reports.size(); ++i)
        QVERIFY2(reports[i] - reports[i - 1] >= 9 * 1000 * 1000, qPrintable(QString::number(i)));
    if (pace.mode == SendPace::Mode::Cap) {
        const qint64 block = *std::max_element(sizes.begin() + 1, sizes.end());
        for (const qint64 windowMs : {100, 250, 500}) {
            const qint64 most =
                mostBytesWithin(link.client.writeTimesNs, sizes, windowMs * 1000000);
            const qint64 allowed = pace.capBytesPerSecond() * windowMs / 1000 + 3 * block;
            QVERIFY2(most <= allowed, qPrintable(QStringLiteral("%1 bytes in %2 ms, %3 allowed")
                                                     .arg(most)
                                                     .arg(windowMs)
                                                     .arg(allowed)));
        }
    }
}

// The default tick (15.6 ms on Windows, 50 us of slack on Linux) would stretch
// every 1 ms pause; the finer timer is the process's only while a send runs.
void tst_FileSender::pauseTimerIsFineForTheSendOnly()
{
#if defined(Q_OS_LINUX)
    const int before = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    {
        FineSleeper sleeper;
        QCOMPARE(sleeper.timer(), FineSleeper::LinuxTimerSlack);
        QCOMPARE(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
    }
    QCOMPARE(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), before);
#elif defined(Q_OS_WIN)
    FineSleeper sleeper;
    QVERIFY(sleeper.timer() == FineSleeper::HighResolutionWaitable ||
            sleeper.timer() == FineSleeper::OneMsPeriod);
#else
    QSKIP("no finer timer on this system");
#endif
}

void tst_FileSender::stopRequests_data()
{
    QTest::addColumn<int>("stopAtProgress"); // stop requested while this progress is handled
    QTest::addColumn<bool>("endMarkerSent");
    QTest::newRow("after the header") << 1 << false;
    QTest::newRow("mid file") << 2 << false;
    QTest::newRow("while the end marker is due") << 4 << true;
}

// The stop is noticed after the next write: that block goes out whole.
void tst_FileSender::stopRequests()
{
    QFETCH(int, stopAtProgress);
    QFETCH(bool, endMarkerSent);
    Link link;
    Sender sender;
    const QByteArray contents = randomBytes(3000, 5);
    sender.onCode = [&](int) {
        if (sender.progressCount() == stopAtProgress)
            sender.stopRequested = true;
    };
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("s"), contents)), int(TransAborted));
    QCOMPARE(sender.progressCount(), stopAtProgress);
    const QByteArray full = framed(QStringLiteral("s"), contents);
    QTRY_COMPARE(quint64(link.received.size()), sender.last.bytesWritten);
    QVERIFY(full.startsWith(link.received));
    QCOMPARE(link.received.endsWith(Protocol::endMarker()), endMarkerSent);
}

void tst_FileSender::stopRequestBeforeStartIsCleared()
{
    Link link;
    Sender sender;
    sender.stopRequested = true;
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("c"), "abc")), int(TransDone));
}

// Hashing a large file takes a while; closing the window meanwhile must not
// have to wait for the whole file to go out.
void tst_FileSender::stopRequestWhileHashingIsHonoured()
{
    Link link;
    Sender sender;
    // Runs at the first chance the hashing gives the thread's events.
    QTimer::singleShot(0, [&] { sender.stopRequested = true; });
    const QString path = makeFile(QStringLiteral("h"), randomBytes(2 << 20, 9));
    QCOMPARE(sender.send(&link.client, path), int(TransAborted));
    QCOMPARE(sender.codes, (QList<int>{TransStarted, TransAborted}));
    QCOMPARE(sender.last.bytesWritten, quint64(0));
    QVERIFY(link.client.writeTimesNs.isEmpty());
}

void tst_FileSender::cancelStopsSendAndStaysSet_data()
{
    QTest::addColumn<int>("cancelAtProgress"); // 0: set before the send begins
    QTest::addColumn<int>("progressCodes");
    QTest::newRow("before the send") << 0 << 0;
    QTest::newRow("mid file") << 2 << 2;
}

// Unlike stopRequested, the shutdown flag is not cleared when a send
// begins: a window closing just as a send starts must still stop it.
void tst_FileSender::cancelStopsSendAndStaysSet()
{
    QFETCH(int, cancelAtProgress);
    QFETCH(int, progressCodes);
    Link link;
    Sender sender;
    std::atomic<bool> cancel{cancelAtProgress == 0};
    sender.onCode = [&](int) {
        if (sender.progressCount() == cancelAtProgress)
            cancel = true;
    };
    FileSender::Options options;
    options.cancel = &cancel;
    const QString path = makeFile(QStringLiteral("k"), randomBytes(5000, 12));
    QCOMPARE(sender.send(&link.client, path, options), int(TransAborted));
    QCOMPARE(sender.progressCount(), progressCodes);
    QCOMPARE(sender.codes.first(), int(TransStarted));
    QVERIFY(cancel);
    QVERIFY(!sender.stopRequested);
}

void tst_FileSender::lostConnectionEndsSend_data()
{
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("dropped") << false;
    QTest::newRow("dropped and connected again") << true;
}

// A send belongs to its connection: once the socket left the connected
// state, the send ends, even if the socket is connected again meanwhile.
void tst_FileSender::lostConnectionEndsSend()
{
    QFETCH(bool, reconnect);
    Link link;
    Sender sender;
    sender.onCode = [&](int) {
        if (sender.progressCount() != 2)
            return;
        link.client.abort();
        if (reconnect) {
            link.client.connectToHost(QHostAddress::LocalHost, 8080);
            QVERIFY(link.client.waitForConnected(5000));
        }
    };
    const quint64 size = 10000;
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("d"), randomBytes(int(size), 6))),
             int(TransDisconnected));
    QCOMPARE(sender.codes.count(TransDisconnected), 1);
    QCOMPARE(sender.progressCount(), 2);
    QVERIFY(sender.last.bytesRead < size);
}

void tst_FileSender::openFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("exists");
    QTest::newRow("missing") << QStringLiteral("/nonexistent-kvr/file.bin") << false;
    QTest::newRow("directory") << QStringLiteral("/") << false;
    // Opening one without a writer would block for good.
    QTest::newRow("FIFO") << QStringLiteral("FIFO") << false;
    // A controller would misread a header whose name holds a marker.
    for (const QString &marker :
         {Protocol::startMarkerText(), Protocol::endMarkerText(), Protocol::sizeMarkerText(),
          Protocol::sizeEndMarkerText(), Protocol::md5MarkerText(), Protocol::md5EndMarkerText()})
        QTest::newRow(qPrintable(QStringLiteral("name holds ") + marker))
            << QStringLiteral("a") + marker + QStringLiteral("b.txt") << true;
}

// No stale digest and no byte goes out for a file that cannot be sent.
void tst_FileSender::openFailures()
{
    QFETCH(QString, path);
    QFETCH(bool, exists);
    if (exists)
        path = makeFile(path, "contents");
    if (path == QLatin1String("FIFO")) {
#ifdef Q_OS_WIN
        QSKIP("Windows has no FIFO in the file system");
#else
        path = m_dir.path() + QStringLiteral("/fifo");
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
#endif
    }
    Link link;
    Sender sender;
    QCOMPARE(sender.send(&link.client, path), int(TransOpenFailed));
    QCOMPARE(sender.codes, QList<int>{TransOpenFailed});
    QCOMPARE(link.client.bytesToWrite(), qint64(0));
    QVERIFY(link.client.writeTimesNs.isEmpty());
}

void tst_FileSender::fileChangedDuringSendFails_data()
{
    QTest::addColumn<bool>("shrinks"); // else a later part is rewritten in place
    QTest::addColumn<int>("code");
    QTest::newRow("shrinks") << true << int(TransReadFailed);
    QTest::newRow("rewritten in place") << false << int(TransChanged);
}

// The header announced the size and digest the file had when it was hashed.
// A file that shrinks, or changes, under the send cannot deliver them, so
// the send fails instead of reporting done, and the end marker never goes out.
void tst_FileSender::fileChangedDuringSendFails()
{
    QFETCH(bool, shrinks);
    QFETCH(int, code);
    Link link;
    Sender sender;
    const QString path = makeFile(QStringLiteral("change"), randomBytes(5000, 7));
    sender.onCode = [&](int reported) {
        if (reported != TransProgress || sender.progressCount() != 2)
            return;
        if (shrinks)
            QFile::resize(path, 2500);
        else
            QVERIFY(overwrite(path, 3000, QByteArray(1000, 'x')));
    };
    QCOMPARE(sender.send(&link.client, path), code);
    QCOMPARE(sender.codes.count(TransDone), 0);
    QTRY_COMPARE(quint64(link.received.size()), sender.last.bytesWritten);
    QVERIFY(!link.received.endsWith(Protocol::endMarker()));
}

// A peer that reads slowly holds the sender back; the socket's buffer never
// grows past a few blocks, and the file still arrives whole.
void tst_FileSender::sendBufferStaysBounded()
{
    Link link;
    link.reading = false;
    link.peer->setReadBufferSize(4096);
    Sender sender;
    sender.bufferSize = 12000;
    qint64 mostQueued = 0;
    sender.onCode = [&](int) { mostQueued = qMax(mostQueued, link.client.bytesToWrite()); };
    QTimer::singleShot(300, [&] { link.startReading(); });
    const QByteArray contents = randomBytes(24 << 20, 8);
    FileSender::Options unpaced;
    unpaced.pace = SendPace::full();
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("big"), contents), unpaced),
             int(TransDone));
    QTRY_COMPARE(link.received.size(), int(sender.last.bytesWritten));
    QCOMPARE(link.received, framed(QStringLiteral("big"), contents));
    QVERIFY2(mostQueued <= 64 * 1024 + 12000, qPrintable(QString::number(mostQueued)));
}

enum class Reader { Never, ResetsUnread, Slowly, ReadsAllAndCloses };
Q_DECLARE_METATYPE(Reader)

// Fits in what the systems of both ends buffer in doneWaitsForAcknowledgement.
constexpr int FitsInBuffers = 64 * 1024;

void tst_FileSender::doneWaitsForAcknowledgement_data()
{
    QTest::addColumn<Reader>("reader");
    QTest::addColumn<int>("size");    // sent in 64 blocks
    QTest::addColumn<int>("stallMs"); // 0: the sender's own limit
    QTest::addColumn<int>("code");
    const int fits = FitsInBuffers;
    const int larger = 4 << 20; // the send waits for room mid-file
    QTest::newRow("never reads") << Reader::Never << fits << 250 << int(TransDisconnected);
    QTest::newRow("never reads, mid-file")
        << Reader::Never << larger << 250 << int(TransDisconnected);
    QTest::newRow("resets without reading")
        << Reader::ResetsUnread << fits << 0 << int(TransDisconnected);
    // Longer in all than the limit, which counts only time without progress.
    QTest::newRow("reads slowly") << Reader::Slowly << fits << 250 << int(TransDone);
    // Its last acknowledgement comes with its close.
    QTest::newRow("reads all and closes")
        << Reader::ReadsAllAndCloses << fits << 0 << int(TransDone);
}

// Done means the peer acknowledged every byte, not only that the system took
// them: the peer takes a few KiB unread, the system holds the rest. What
// becomes of the connection after the last acknowledgement does not matter.
void tst_FileSender::doneWaitsForAcknowledgement()
{
    QFETCH(Reader, reader);
    QFETCH(int, size);
    QFETCH(int, stallMs);
    QFETCH(int, code);
    if (!countsAcknowledgements())
        QSKIP("this system cannot count the bytes a peer has not acknowledged");
    Link link(4096);
    link.reading = false;
    link.peer->setReadBufferSize(4096);
    link.client.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 1 << 20);
    QTimer reads;
    QObject::connect(&reads, &QTimer::timeout, [&] { link.received += link.peer->readAll(); });
    if (reader == Reader::Slowly)
        reads.start(50);
    Sender sender;
    sender.bufferSize = size / 64;
    const QByteArray contents = randomBytes(size, 13);
    const QByteArray expected = framed(QStringLiteral("ack"), contents);
    const int lastProgress = 64 + 2;
    sender.onCode = [&](int) {
        if (sender.progressCount() != lastProgress)
            return;
        // The end marker is written: the sender waits for the rest.
        if (reader == Reader::ResetsUnread)
            QTimer::singleShot(50, link.peer, [&] { resetConnection(link.peer); });
        if (reader == Reader::ReadsAllAndCloses) {
            QTRY_VERIFY((link.received += link.peer->readAll()).size() >= expected.size());
            link.peer->disconnectFromHost();
            QTRY_COMPARE(link.client.state(), QAbstractSocket::UnconnectedState);
        }
    };
    // A send that never ends fails the row instead of the whole run.
    QTimer neverEnds;
    neverEnds.setSingleShot(true);
    QObject::connect(&neverEnds, &QTimer::timeout, [&] { sender.stopRequested = true; });
    neverEnds.start(2 * UnackedBytes::DefaultStallMs);
    FileSender::Options options;
    if (stallMs > 0)
        options.ackStallMs = stallMs;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(sender.send(&link.client, makeFile(QStringLiteral("ack"), contents), options), code);
    QVERIFY2(clock.elapsed() < UnackedBytes::DefaultStallMs,
             qPrintable(QString::number(clock.elapsed())));
    if (code == TransDone) {
        link.startReading();
        QTRY_COMPARE(link.received, expected);
    }
    if (size > FitsInBuffers)
        QVERIFY(sender.last.bytesRead < quint64(size));
}

QTEST_GUILESS_MAIN(tst_FileSender)
#include "tst_filesender.moc"
