// Drives the controller stand-in as a separate process over 127.0.0.1:8080
// (each test binary runs in its own network namespace) and checks what it
// stores, sends and prints.

#include "net/workercommands.h"
#include "standinprocess.h"
#include "testfiles.h"
#include "transfer/filereceiver.h"
#include "transfer/filesender.h"
#include "transfer/protocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr quint16 Port = 8080;
// Generous: under Wine a process takes its time to start and to exit.
constexpr int WaitMs = 20000;
constexpr int ReceiveSliceMs = 50;

// Sends one file the way the PC does and waits until it has left the socket:
// the test blocks on the process next, and nothing would flush it then.
int sendFromPc(QTcpSocket &socket, const QString &path, FileSender::Options options = {})
{
    FileSender sender({}, options);
    const int code = sender.send(&socket, path);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(WaitMs)) {
    }
    return code;
}

// Reads the socket into a FileReceiver as the PC's receive engine does, until
// `count` outcomes (end codes or raw data) were reported or the time is up.
QVector<int> receiveFiles(QTcpSocket &socket, const QString &directory, int count,
                          QVector<bool> *md5Announced)
{
    QVector<int> outcomes;
    FileReceiver receiver([directory] { return directory; },
                          [&](int code, const FileReceiver &fileReceiver) {
                              if (code == RecStarted || code == RecProgress)
                                  return;
                              outcomes.append(code);
                              md5Announced->append(fileReceiver.announcedMd5());
                          });
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer deadline(2 * WaitMs);
    while (outcomes.size() < count && !deadline.hasExpired()) {
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(ReceiveSliceMs))
            receiver.feed(socket.readAll(), clock.elapsed());
        else if (socket.state() != QAbstractSocket::ConnectedState)
            break;
        receiver.poll(clock.elapsed());
    }
    return outcomes;
}

QStringList filesIn(const QString &directory)
{
    QStringList files = QDir(directory).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (QString &file : files)
        file = TestFiles::partialAsNamed(file);
    return files;
}

} // namespace

class tst_ControllerSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pcSendsFile_data();
    void pcSendsFile();
    void receiveOutcome_data();
    void receiveOutcome();
    void rawData_data();
    void rawData();
    void simSendsFiles_data();
    void simSendsFiles();
    void echo_data();
    void echo();
    void secondClientRefused();
    void clientLeavesMidSend();
    void readRateHoldsSenderBack();
    void badArguments_data();
    void badArguments();
    void portInUse();
    void stopsOnSignal_data();
    void stopsOnSignal();

private:
    QString workPath(const QString &name) const { return m_work->filePath(name); }
    QString storeDir() const { return workPath(QStringLiteral("store")); }
    QStringList simArguments(const QStringList &arguments) const;
    bool startSim(const QStringList &arguments = QStringList());
    bool connectToSim(QTcpSocket &socket);

    std::unique_ptr<QTemporaryDir> m_work;
    StandInProcess m_sim{WaitMs};
};

void tst_ControllerSim::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
}

// Every scenario ends the way a user ends the sim, and it has to end well:
// this also catches crashes on the way out (e.g. under the sanitizers).
void tst_ControllerSim::cleanup()
{
    if (!m_sim.isRunning())
        return;
    QVERIFY2(m_sim.stop(), qPrintable(m_sim.seenOutput()));
    QProcess &sim = m_sim.process();
    QVERIFY2(sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 0,
             qPrintable(m_sim.seenOutput()));
}

QStringList tst_ControllerSim::simArguments(const QStringList &arguments) const
{
    return QStringList{QStringLiteral("--dir"), storeDir()} + arguments;
}

bool tst_ControllerSim::startSim(const QStringList &arguments)
{
    const QString expected = QStringLiteral("listening on 127.0.0.1:%1, files in %2")
                                 .arg(QString::number(Port), storeDir());
    return m_sim.start(simArguments(arguments), m_work->path()) &&
           m_sim.listeningLine() == expected;
}

bool tst_ControllerSim::connectToSim(QTcpSocket &socket)
{
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), Port);
    if (!socket.waitForConnected(WaitMs))
        return false;
    const QString expected = QStringLiteral("connected 127.0.0.1:%1").arg(socket.localPort());
    return m_sim.waitForLine(QStringLiteral("connected 127.0.0.1:")) == expected;
}

void tst_ControllerSim::pcSendsFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("withMd5");
    QTest::addColumn<QString>("verdict");

    const QString ok = QStringLiteral("MD5 ok");
    QTest::newRow("300 KiB") << QStringLiteral("payload.bin") << 300 * 1024 << true << ok;
    QTest::newRow("empty") << QStringLiteral("empty.bin") << 0 << true << ok;
    QTest::newRow("one block") << QStringLiteral("block.bin") << 12000 << true << ok;
    QTest::newRow("UTF-8 name") << QStringLiteral("报告 2.bin") << 50000 << true << ok;
    QTest::newRow("no MD5 section")
        << QStringLiteral("plain.bin") << 100000 << false << QStringLiteral("no MD5");
}

void tst_ControllerSim::pcSendsFile()
{
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(bool, withMd5);
    QFETCH(QString, verdict);
    const QByteArray contents = TestFiles::randomBytes(size, quint32(size));
    QVERIFY(TestFiles::writeFile(workPath(name), contents));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));

    FileSender::Options options;
    options.withMd5 = withMd5;
    QCOMPARE(sendFromPc(socket, workPath(name), options), int(TransDone));

    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: %1 (%2 bytes) %3")
                 .arg(name, QString::number(size), verdict));
    QCOMPARE(filesIn(storeDir()), QStringList{name});
    QCOMPARE(TestFiles::readFile(storeDir() + QLatin1Char('/') + name), contents);
}

void tst_ControllerSim::receiveOutcome_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("disconnect");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("stored");

    const QByteArray contents = TestFiles::randomBytes(40000, 3);
    const QByteArray half = contents.left(15000);
    auto headerFor = [&contents](const char *name) {
        return Protocol::buildHeader(QString::fromUtf8(name), quint64(contents.size()),
                                     TestFiles::md5Hex(contents));
    };
    const QByteArray wrongMd5 = TestFiles::md5Hex("something else");

    QTest::newRow("MD5 mismatch")
        << Protocol::buildHeader(QStringLiteral("bad.bin"), quint64(contents.size()), wrongMd5) +
               contents + Protocol::endMarker()
        << false << QStringLiteral("file received: bad.bin (40000 bytes) MD5 mismatch")
        << QStringList{QStringLiteral("bad.bin.part")};
    QTest::newRow("MD5 field not 32 hex digits")
        << Protocol::buildHeader(QStringLiteral("m31.bin"), quint64(contents.size()),
                                 wrongMd5.left(31)) +
               contents + Protocol::endMarker()
        << false << QStringLiteral("file received: m31.bin (40000 bytes) MD5 mismatch")
        << QStringList{QStringLiteral("m31.bin.part")};
    QTest::newRow("size over-announced")
        << Protocol::buildHeader(QStringLiteral("over.bin"), quint64(contents.size()) + 1000,
                                 TestFiles::md5Hex(contents)) +
               contents + Protocol::endMarker()
        << false << QStringLiteral("file received: over.bin (40000 bytes) MD5 ok")
        << QStringList{QStringLiteral("over.bin")};
    QTest::newRow("no MD5, size mismatch")
        << Protocol::buildHeader(QStringLiteral("short.bin"), 2000, QByteArray()) +
               contents.left(1000) + Protocol::endMarker()
        << false
        << QStringLiteral("file received: short.bin (1000 bytes) no MD5, size mismatch (2000 "
                          "announced)")
        << QStringList{QStringLiteral("short.bin")};
    QTest::newRow("unsafe name") << TestFiles::framed(QStringLiteral(".."), contents) << false
                                 << QStringLiteral("file create failed") << QStringList();
#ifdef Q_OS_WIN
    // Windows cannot hold a control character in a name.
    QTest::newRow("newline in name")
        << TestFiles::framed(QStringLiteral("a\nb.bin"), contents) << false
        << QStringLiteral("file create failed") << QStringList();
#else
    QTest::newRow("newline in name")
        << TestFiles::framed(QStringLiteral("a\nb.bin"), contents) << false
        << QStringLiteral("file received: a\\x0ab.bin (40000 bytes) MD5 ok")
        << QStringList{QStringLiteral("a\nb.bin")};
#endif
    QTest::newRow("stalled") << headerFor("stall.bin") + half << false
                             << QStringLiteral("file timed out: stall.bin (15000 of 40000 bytes)")
                             << QStringList{QStringLiteral("stall.bin.part")};
    QTest::newRow("cut off") << headerFor("cut.bin") + half << true
                             << QStringLiteral("file incomplete: cut.bin (15000 of 40000 bytes)")
                             << QStringList{QStringLiteral("cut.bin.part")};
}

void tst_ControllerSim::receiveOutcome()
{
    QFETCH(QByteArray, wire);
    QFETCH(bool, disconnect);
    QFETCH(QString, line);
    QFETCH(QStringList, stored);
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));

    socket.write(wire);
    QVERIFY(socket.waitForBytesWritten(WaitMs));
    if (disconnect) {
        // The contents must have arrived before the client leaves.
        QVERIFY2(!m_sim.waitForLine(QStringLiteral("receiving ")).isNull(),
                 qPrintable(m_sim.seenOutput()));
        socket.disconnectFromHost();
    }

    QCOMPARE(m_sim.waitForLine(line.left(line.indexOf(QLatin1Char(':')))), line);
    QCOMPARE(filesIn(storeDir()), stored);
}

void tst_ControllerSim::rawData_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QString>("line");

    QTest::newRow("greeting") << Protocol::greeting()
                              << QStringLiteral("raw data received (8 bytes): 你好!!");
    QTest::newRow("text ends at NUL")
        << QByteArray("ab\0cd", 5) << QStringLiteral("raw data received (5 bytes): ab");
    QTest::newRow("long text cut") << QByteArray(1000, 'x')
                                   << QStringLiteral("raw data received (1000 bytes): ") +
                                          QString(256, QLatin1Char('x')) + QChar(0x2026);
    QTest::newRow("line breaks escaped")
        << QByteArray("a\r\nb") << QStringLiteral("raw data received (4 bytes): a\\x0d\\x0ab");
}

void tst_ControllerSim::rawData()
{
    QFETCH(QByteArray, wire);
    QFETCH(QString, line);
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));

    socket.write(wire);
    QVERIFY(socket.waitForBytesWritten(WaitMs));

    QCOMPARE(m_sim.waitForLine(QStringLiteral("raw data received")), line);
}

void tst_ControllerSim::simSendsFiles_data()
{
    QTest::addColumn<QVector<int>>("sizes");
    QTest::addColumn<QStringList>("options");

    const QString noMd5 = QStringLiteral("--no-md5");
    const QString noPace = QStringLiteral("--no-pace");
    QTest::newRow("paced") << QVector<int>{300 * 1024} << QStringList();
    QTest::newRow("no MD5") << QVector<int>{300 * 1024} << QStringList{noMd5};
    QTest::newRow("no pace") << QVector<int>{300 * 1024} << QStringList{noPace};
    QTest::newRow("full pace") << QVector<int>{300 * 1024}
                               << QStringList{QStringLiteral("--pace"), QStringLiteral("full")};
    QTest::newRow("a cap, in order")
        << QVector<int>{200000, 0, 70000} << QStringList{QStringLiteral("--pace=8")};
    QTest::newRow("empty") << QVector<int>{0} << QStringList();
    QTest::newRow("three in order") << QVector<int>{200000, 0, 70000} << QStringList();
    QTest::newRow("three, no MD5, no pace")
        << QVector<int>{200000, 0, 70000} << QStringList{noMd5, noPace};
}

void tst_ControllerSim::simSendsFiles()
{
    QFETCH(QVector<int>, sizes);
    QFETCH(QStringList, options);
    QList<QByteArray> contents;
    QStringList names;
    QStringList arguments = options;
    for (int i = 0; i < sizes.size(); ++i) {
        names.append(QStringLiteral("out%1.bin").arg(i));
        contents.append(TestFiles::randomBytes(sizes.at(i), quint32(i + 11)));
        QVERIFY(TestFiles::writeFile(workPath(names.last()), contents.last()));
        arguments << QStringLiteral("--send") << workPath(names.last());
    }
    const QString inbox = workPath(QStringLiteral("inbox"));
    QVERIFY(QDir().mkpath(inbox));
    QVERIFY2(startSim(arguments), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));

    QVector<bool> md5Announced;
    const QVector<int> outcomes = receiveFiles(socket, inbox, sizes.size(), &md5Announced);

    QCOMPARE(outcomes, QVector<int>(sizes.size(), RecDone));
    QCOMPARE(md5Announced,
             QVector<bool>(sizes.size(), !options.contains(QStringLiteral("--no-md5"))));
    QCOMPARE(filesIn(inbox), names);
    for (int i = 0; i < sizes.size(); ++i) {
        QCOMPARE(TestFiles::readFile(inbox + QLatin1Char('/') + names.at(i)), contents.at(i));
        QCOMPARE(m_sim.waitForLine(QStringLiteral("sent ")), QStringLiteral("sent ") + names.at(i));
    }
}

void tst_ControllerSim::echo_data()
{
    QTest::addColumn<QVector<int>>("sizes");

    QTest::newRow("one file") << QVector<int>{200000};
    // The second arrives while the first is echoed: its echo has to wait.
    QTest::newRow("two back to back") << QVector<int>{400000, 90000};
}

void tst_ControllerSim::echo()
{
    QFETCH(QVector<int>, sizes);
    const QString inbox = workPath(QStringLiteral("inbox"));
    QVERIFY(QDir().mkpath(inbox));
    QVERIFY2(startSim({QStringLiteral("--echo")}), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));

    QList<QByteArray> contents;
    QStringList names;
    for (int i = 0; i < sizes.size(); ++i) {
        names.append(QStringLiteral("echo%1.bin").arg(i));
        contents.append(TestFiles::randomBytes(sizes.at(i), quint32(i + 21)));
        QVERIFY(TestFiles::writeFile(workPath(names.last()), contents.last()));
        QCOMPARE(sendFromPc(socket, workPath(names.last())), int(TransDone));
    }
    QVector<bool> md5Announced;
    const QVector<int> outcomes = receiveFiles(socket, inbox, sizes.size(), &md5Announced);

    QCOMPARE(outcomes, QVector<int>(sizes.size(), RecDone));
    QCOMPARE(filesIn(inbox), names);
    for (int i = 0; i < sizes.size(); ++i)
        QCOMPARE(TestFiles::readFile(inbox + QLatin1Char('/') + names.at(i)), contents.at(i));
}

void tst_ControllerSim::secondClientRefused()
{
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QTcpSocket first;
    QVERIFY2(connectToSim(first), qPrintable(m_sim.seenOutput()));

    QTcpSocket second;
    second.connectToHost(QHostAddress(QHostAddress::LocalHost), Port);
    QVERIFY(second.waitForConnected(WaitMs));
    QCOMPARE(m_sim.waitForLine(QStringLiteral("refused ")),
             QStringLiteral("refused 127.0.0.1:%1 (a client is already connected)")
                 .arg(second.localPort()));
    QVERIFY(second.state() == QAbstractSocket::UnconnectedState ||
            second.waitForDisconnected(WaitMs));

    // The first client is still served, and once it left the next one is.
    first.write(Protocol::greeting());
    QVERIFY(first.waitForBytesWritten(WaitMs));
    QVERIFY2(!m_sim.waitForLine(QStringLiteral("你好!!")).isNull(), qPrintable(m_sim.seenOutput()));
    first.disconnectFromHost();
    QCOMPARE(m_sim.waitForLine(QStringLiteral("disconnected")), QStringLiteral("disconnected"));
    QTcpSocket third;
    QVERIFY2(connectToSim(third), qPrintable(m_sim.seenOutput()));
}

void tst_ControllerSim::clientLeavesMidSend()
{
    // More than loopback's socket buffers hold: the send cannot be over yet.
    const QString big = workPath(QStringLiteral("big.bin"));
    QVERIFY(TestFiles::writeFile(big, QByteArray(32 * 1024 * 1024, 'b')));
    QVERIFY2(startSim({QStringLiteral("--send"), big}), qPrintable(m_sim.seenOutput()));
    QTcpSocket first;
    QVERIFY2(connectToSim(first), qPrintable(m_sim.seenOutput()));
    QVERIFY2(!m_sim.waitForLine(QStringLiteral("sending big.bin")).isNull(),
             qPrintable(m_sim.seenOutput()));

    first.abort();

    QCOMPARE(m_sim.waitForLine(QStringLiteral("send failed")),
             QStringLiteral("send failed: big.bin (code %1)").arg(int(TransDisconnected)));
    QTcpSocket second;
    QVERIFY2(connectToSim(second), qPrintable(m_sim.seenOutput()));
    QVERIFY2(!m_sim.waitForLine(QStringLiteral("sending big.bin")).isNull(),
             qPrintable(m_sim.seenOutput()));
}

void tst_ControllerSim::readRateHoldsSenderBack()
{
    // Well beyond what loopback's socket buffers hold, so the reader's pace
    // must reach the sender.
    const int rate = 32 * 1024 * 1024;
    const QByteArray contents(rate, 'r');
    QVERIFY(TestFiles::writeFile(workPath(QStringLiteral("slow.bin")), contents));
    QVERIFY2(startSim({QStringLiteral("--read-rate"), QString::number(rate)}),
             qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));
    FileSender::Options unpaced;
    unpaced.pace = SendPace::full();
    QElapsedTimer clock;
    clock.start();

    QCOMPARE(sendFromPc(socket, workPath(QStringLiteral("slow.bin")), unpaced), int(TransDone));
    const qint64 sendMs = clock.elapsed();
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: slow.bin (%1 bytes) MD5 ok").arg(rate));
    const qint64 receiveMs = clock.elapsed();

    // Timers run late, never early: one second at the rate, with some slack.
    // Had the sim buffered everything, the send would end at once.
    QVERIFY2(receiveMs >= 900, QByteArray::number(receiveMs).constData());
    QVERIFY2(sendMs >= 400, QByteArray::number(sendMs).constData());
    QCOMPARE(TestFiles::readFile(storeDir() + QStringLiteral("/slow.bin")), contents);
}

void tst_ControllerSim::badArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    const QString port = QStringLiteral("--port");
    const QString rate = QStringLiteral("--read-rate");
    const QString send = QStringLiteral("--send");
    QTest::newRow("port not a number") << QStringList{port, QStringLiteral("80a")} << 2;
    QTest::newRow("port out of range") << QStringList{port, QStringLiteral("65536")} << 2;
    QTest::newRow("negative port") << QStringList{port, QStringLiteral("-1")} << 2;
    QTest::newRow("zero rate") << QStringList{rate, QStringLiteral("0")} << 2;
    QTest::newRow("negative rate") << QStringList{rate, QStringLiteral("-100")} << 2;
    QTest::newRow("rate not a number") << QStringList{rate, QStringLiteral("fast")} << 2;
    QTest::newRow("pace not a pace") << QStringList{QStringLiteral("--pace=fast")} << 2;
    QTest::newRow("listen not an address")
        << QStringList{QStringLiteral("--listen"), QStringLiteral("localhost:1")} << 2;
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 2;
    QTest::newRow("stray argument") << QStringList{QStringLiteral("extra")} << 2;
    QTest::newRow("missing --send file") << QStringList{send, QStringLiteral("missing.bin")} << 2;
    QTest::newRow("--send a directory") << QStringList{send, QStringLiteral(".")} << 2;
    QTest::newRow("dir below a file")
        << QStringList{QStringLiteral("--dir"), QStringLiteral("afile/store")} << 1;
}

void tst_ControllerSim::badArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QVERIFY(TestFiles::writeFile(workPath(QStringLiteral("afile")), "x"));

    QProcess &sim = m_sim.launch(simArguments(arguments), m_work->path());

    QVERIFY(sim.waitForFinished(WaitMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), exitCode);
    QVERIFY(!sim.readAllStandardError().isEmpty());
    QCOMPARE(sim.readAllStandardOutput(), QByteArray());
}

void tst_ControllerSim::portInUse()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress(QHostAddress::LocalHost), Port));

    QProcess &sim = m_sim.launch(simArguments({}), m_work->path());

    QVERIFY(sim.waitForFinished(WaitMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 1);
    QVERIFY(sim.readAllStandardError().contains("127.0.0.1:8080"));
}

void tst_ControllerSim::stopsOnSignal_data()
{
    QTest::addColumn<int>("signalNumber"); // on Windows every row sends Ctrl+C
    QTest::addColumn<bool>("withClient");
    QTest::addColumn<bool>("midSend");

    QTest::newRow("SIGTERM, idle") << int(SIGTERM) << false << false;
    QTest::newRow("SIGINT, idle") << int(SIGINT) << false << false;
    QTest::newRow("SIGTERM, client connected") << int(SIGTERM) << true << false;
    // The client does not read: the send is stuck waiting for room.
    QTest::newRow("SIGTERM, mid-send") << int(SIGTERM) << true << true;
}

void tst_ControllerSim::stopsOnSignal()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, withClient);
    QFETCH(bool, midSend);
    QStringList arguments;
    if (midSend) {
        // More than loopback's socket buffers can hold.
        const QString big = workPath(QStringLiteral("big.bin"));
        QVERIFY(TestFiles::writeFile(big, QByteArray(32 * 1024 * 1024, 'k')));
        arguments << QStringLiteral("--send") << big;
    }
    QVERIFY2(startSim(arguments), qPrintable(m_sim.seenOutput()));
    QTcpSocket socket;
    if (withClient)
        QVERIFY2(connectToSim(socket), qPrintable(m_sim.seenOutput()));
    if (midSend)
        QVERIFY2(!m_sim.waitForLine(QStringLiteral("sending big.bin")).isNull(),
                 qPrintable(m_sim.seenOutput()));

    QProcess &sim = m_sim.process();
    QVERIFY(m_sim.interrupt(signalNumber));

    QCOMPARE(m_sim.waitForLine(QStringLiteral("stopped")), QStringLiteral("stopped"));
    if (midSend)
        QCOMPARE(m_sim.waitForLine(QStringLiteral("send failed")),
                 QStringLiteral("send failed: big.bin (code %1)").arg(int(TransAborted)));
    QVERIFY(sim.waitForFinished(WaitMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_ControllerSim)
#include "tst_controllersim.moc"
