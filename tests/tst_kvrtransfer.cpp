// Runs kvr-transfer's commands in this thread against the controller stand-in,
// or against a peer scripted here, on 127.0.0.1:8080 (each test binary runs
// in its own network namespace), and checks files, output and exit codes.
// The program itself runs as a separate process only for what a process
// alone shows: main's answer to arguments without a command, --help and
// --version, Ctrl+C, being stopped, and a terminal.

#include "command.h"
#include "historyfile.h"
#include "kvrversion.h"
#include "output.h"
#include "standinprocess.h"
#include "targets.h"
#include "testfiles.h"

#include <QBuffer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <QXmlStreamReader>

#include <csignal>
#include <functional>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

constexpr quint16 Port = 8080;
constexpr int WaitMs = 20000;

const QString Loopback = QStringLiteral("127.0.0.1");

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

QString cli()
{
    return QStringLiteral(KVR_TRANSFER);
}

// The settings.ini that a command run here reads: beside this test, its
// program.
QString settingsBesideTest()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
}

// The history of a command run here: this test's folder is a portable copy.
QString historyBesideTest()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/history.csv");
}

void removeHistoryBesideTest()
{
    HistoryFile::removeAll(historyBesideTest());
}

// The command that the arguments name, run in this thread as the program
// runs it; its peers here are served while it waits.
Run runCommand(const QStringList &arguments)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    Output output(&out, &err);
    const QStringList programArguments = QStringList{cli()} + arguments;
    Run run;
    if (const std::unique_ptr<Command> command =
            Commands::create(Commands::nameIn(programArguments)))
        run.exitCode = command->execute(programArguments, output);
    run.out = QString::fromUtf8(out.data());
    run.err = QString::fromUtf8(err.data());
    return run;
}

// Serves this thread's events while the program runs: the scripted peers
// live in them. onStarted runs once the process is up.
Run runProgram(const QString &program, const QStringList &arguments,
               const std::function<void(QProcess &)> &onStarted = {})
{
    QProcess process;
    giveOwnConsole(process);
    process.start(program, arguments);
    Run run;
    if (!process.waitForStarted(WaitMs))
        return run;
    if (onStarted)
        onStarted(process);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, WaitMs))
        process.kill();
    process.waitForFinished(WaitMs);
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

Run runProgram(const QStringList &arguments, const std::function<void(QProcess &)> &onStarted = {})
{
    return runProgram(cli(), arguments, onStarted);
}

QString describe(const Run &run)
{
    return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3")
        .arg(run.exitCode)
        .arg(run.out, run.err);
}

QStringList lines(const QString &text)
{
    QStringList result = text.split(QLatin1Char('\n'));
    result.removeAll(QString());
    return result;
}

// The same three files each way: one byte, one that holds the end marker's
// bytes, and a few megabytes.
QMap<QString, QByteArray> sampleFiles()
{
    return {{QStringLiteral("one.bin"), QByteArray("x")},
            {QString::fromUtf8("标记.bin"), "a" + Protocol::endMarker() + "b"},
            {QStringLiteral("large.bin"), TestFiles::randomBytes(3 * 1024 * 1024, 7)}};
}

bool writeFiles(const QString &dir, const QMap<QString, QByteArray> &files, QStringList *paths)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        paths->append(dir + QLatin1Char('/') + it.key());
        if (!TestFiles::writeFile(paths->last(), it.value()))
            return false;
    }
    return true;
}

// The names and outcomes of the "ended" events, and the finished event's
// exit code, of --json output; every line must be a JSON object.
QStringList jsonEnded(const QString &out, int *finishedCode)
{
    QStringList ended;
    for (const QString &line : lines(out)) {
        const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event.isEmpty())
            return {QStringLiteral("not JSON: ") + line};
        if (event.value(QStringLiteral("event")) == QLatin1String("ended"))
            ended.append(event.value(QStringLiteral("name")).toString() + QLatin1Char(' ') +
                         event.value(QStringLiteral("outcome")).toString());
        if (event.value(QStringLiteral("event")) == QLatin1String("finished"))
            *finishedCode = event.value(QStringLiteral("exitCode")).toInt(-1);
    }
    return ended;
}

QStringList textEnded(const QString &out, const QString &verb)
{
    QStringList ended;
    for (const QString &line : lines(out))
        if (line.startsWith(verb + QLatin1Char(' ')))
            ended.append(line.section(QLatin1Char(':'), 0, 0).mid(verb.size() + 1) +
                         QStringLiteral(" done"));
    return ended;
}

enum class Peer {
    None,
    Silent,
    WritesAndCloses,
    WritesAndStays,
    AbortsOnData,
    WritesAndResets,   // reads nothing, and resets once the tool's bytes wait unread
    ChangesFileOnData, // rewrites the end of big.bin once the header came
};

// Controllers scripted here, each on its own port of 127.0.0.1: they take
// and count what comes, or read nothing.
class Sinks
{
public:
    bool listen(int count, quint16 firstPort, bool reading)
    {
        for (int at = 0; at < count; ++at) {
            m_servers.push_back(std::make_unique<QTcpServer>());
            QTcpServer *server = m_servers.back().get();
            if (!server->listen(QHostAddress::LocalHost, quint16(firstPort + at)))
                return false;
            m_bytes.append(0);
            QObject::connect(server, &QTcpServer::newConnection, server,
                             [this, server, at, reading] {
                                 QTcpSocket *socket = server->nextPendingConnection();
                                 ++m_connections;
                                 if (reading)
                                     QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                                      [this, socket, at] {
                                                          m_bytes[at] += socket->readAll().size();
                                                      });
                             });
        }
        return true;
    }
    QString targetsText(const QString &host = Loopback) const
    {
        QString text;
        for (const std::unique_ptr<QTcpServer> &server : m_servers)
            text += QStringLiteral("%1:%2 bay %2\n").arg(host).arg(server->serverPort());
        return text;
    }
    int connections() const { return m_connections; }
    const QVector<qint64> &bytes() const { return m_bytes; }

private:
    std::vector<std::unique_ptr<QTcpServer>> m_servers;
    QVector<qint64> m_bytes;
    int m_connections = 0;
};

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(TestFiles::readFile(path)).object();
}

// Each target's status in a report, as "target status".
QStringList reportedStatuses(const QJsonObject &report)
{
    QStringList statuses;
    const QJsonArray targets = report.value(QStringLiteral("targets")).toArray();
    for (const QJsonValue &target : targets)
        statuses << target[QStringLiteral("target")].toString() + QLatin1Char(' ') +
                        target[QStringLiteral("status")].toString();
    return statuses;
}

// Each testcase's name, with " failed" after those with a failure.
QStringList junitCases(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("no file")};
    QXmlStreamReader xml(&file);
    QStringList cases;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("testcase"))
            cases << xml.attributes().value(QStringLiteral("name")).toString();
        else if (xml.name() == QLatin1String("failure") && !cases.isEmpty())
            cases.last() += QStringLiteral(" failed");
    }
    return xml.hasError() ? QStringList{xml.errorString()} : cases;
}

} // namespace

Q_DECLARE_METATYPE(Peer)

class tst_KvrTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void badInput_data();
    void badInput();
    void transfers_data();
    void transfers();
    void failures_data();
    void failures();
    void reconnectsUntilStopped();
    void tellsServiceManager_data();
    void tellsServiceManager();
    void greetNeedsAcknowledgement();
    void progressOnlyOnATerminal_data();
    void progressOnlyOnATerminal();
    void help_data();
    void help();
    void version();
    void targetsFile_data();
    void targetsFile();
    void manyTargets_data();
    void manyTargets();
    void tenStandInsTwoAway();
    void interruptedManyTargets();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    void serve(Peer peer, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_configHome;
    QTcpServer m_server;
    QList<QTcpSocket *> m_peers;
};

// The program, beside no settings.ini, would keep its history in the
// user's folder: one of the test's own in its place.
void tst_KvrTransfer::initTestCase()
{
    QVERIFY(m_configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
    QVERIFY(TestFiles::writeFile(
        QCoreApplication::applicationDirPath() + QStringLiteral("/portable.txt"), QByteArray()));
}

void tst_KvrTransfer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile::remove(settingsBesideTest());
    removeHistoryBesideTest();
}

void tst_KvrTransfer::cleanup()
{
    disconnect(&m_server, nullptr, this, nullptr);
    qDeleteAll(std::exchange(m_peers, {}));
    m_server.close();
    QFile::remove(settingsBesideTest());
    removeHistoryBesideTest();
}

// A peer that plays one part: writes bytes, then closes, stays, drops the
// connection as soon as data arrives, or resets it without reading.
void tst_KvrTransfer::serve(Peer peer, const QByteArray &bytes)
{
    if (peer == Peer::None)
        return;
    QVERIFY(m_server.listen(QHostAddress::LocalHost, Port));
    connect(&m_server, &QTcpServer::newConnection, this, [this, peer, bytes] {
        QTcpSocket *socket = m_server.nextPendingConnection();
        m_peers.append(socket);
        socket->write(bytes);
        if (peer == Peer::WritesAndCloses)
            socket->disconnectFromHost();
        if (peer == Peer::AbortsOnData)
            connect(socket, &QTcpSocket::readyRead, socket, &QTcpSocket::abort);
        if (peer == Peer::WritesAndResets) {
            // Qt takes one byte; the rest stays in the system's buffers.
            socket->setReadBufferSize(1);
            // Long after the tool wrote what the buffers take.
            QTimer::singleShot(500, socket, [socket] { TestFiles::resetConnection(socket); });
        }
        if (peer == Peer::ChangesFileOnData) {
            // The header follows the hashing; the end of the file is read
            // seconds later.
            const QString file = path(QStringLiteral("big.bin"));
            connect(socket, &QTcpSocket::readyRead, socket, [file, done = false]() mutable {
                if (!std::exchange(done, true))
                    QVERIFY(
                        TestFiles::overwrite(file, 7 * 1024 * 1024, QByteArray(1024 * 1024, 'c')));
            });
        }
    });
}

// Each gets one line on stderr naming the problem and exit 2, and nothing
// reaches the listener.
void tst_KvrTransfer::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const QString file = QStringLiteral("FILE");
    const QString to = QStringLiteral("--to");
    QTest::newRow("no command") << QStringList() << "missing command";
    QTest::newRow("unknown command") << QStringList{QStringLiteral("fetch")} << "unknown command";
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("send"), file, to, Loopback, QStringLiteral("--dir=x")}
        << "Unknown option 'dir'";
    QTest::newRow("missing file") << QStringList{QStringLiteral("send"), file,
                                                 QStringLiteral("missing.bin"), to, Loopback}
                                  << "no such file: missing.bin";
    QTest::newRow("folder") << QStringList{QStringLiteral("send"), file, QStringLiteral("DIR"), to,
                                           Loopback}
                            << "is a folder";
    QTest::newRow("marker in the name")
        << QStringList{QStringLiteral("send"), file, QStringLiteral("MARKED"), to, Loopback}
        << "holds a marker";
    QTest::newRow("port 0") << QStringList{QStringLiteral("greet"), to, Loopback,
                                           QStringLiteral("--port"), QStringLiteral("0")}
                            << "--port needs a number from 1 to 65535";
    QTest::newRow("port 65536") << QStringList{QStringLiteral("greet"), to, Loopback,
                                               QStringLiteral("--port=65536")}
                                << "--port needs a number from 1 to 65535";
    QTest::newRow("buffer size 0") << QStringList{QStringLiteral("send"), file, to, Loopback,
                                                  QStringLiteral("--buffer-size=0")}
                                   << "--buffer-size needs a number from 1 to 65536";
    QTest::newRow("buffer size 65537") << QStringList{QStringLiteral("send"), file, to, Loopback,
                                                      QStringLiteral("--buffer-size=65537")}
                                       << "--buffer-size needs a number from 1 to 65536";
    QTest::newRow("idle not a number")
        << QStringList{QStringLiteral("receive"), QStringLiteral("--from"), Loopback,
                       QStringLiteral("--idle"), QStringLiteral("nan")}
        << "--idle needs a number of seconds above 0";
    QTest::newRow("idle infinite")
        << QStringList{QStringLiteral("receive"), QStringLiteral("--from"), Loopback,
                       QStringLiteral("--idle=inf")}
        << "--idle needs a number of seconds above 0";
    for (const char *pace : {"0", "-1", "fast"})
        QTest::newRow(qPrintable(QStringLiteral("pace %1").arg(QLatin1String(pace))))
            << QStringList{QStringLiteral("send"), file, to, Loopback, QStringLiteral("--pace"),
                           QLatin1String(pace)}
            << "--pace needs paced, full or a number of MB/s above 0";
    QTest::newRow("gap -5") << QStringList{QStringLiteral("send"), file, to, Loopback,
                                           QStringLiteral("--gap=-5")}
                            << "--gap needs a number from 0 to 3600000";
    QTest::newRow("no such settings file")
        << QStringList{QStringLiteral("receive"), QStringLiteral("--config=missing.ini")}
        << "no such settings file: missing.ini";
    QTest::newRow("existing: no such rule")
        << QStringList{QStringLiteral("receive"), QStringLiteral("--from"), Loopback,
                       QStringLiteral("--existing=rename")}
        << "--existing takes one of overwrite, keep-both, skip-identical";
    // Opening a FIFO without a writer would block for good.
    QTest::newRow("FIFO") << QStringList{QStringLiteral("send"), QStringLiteral("FIFO"), to,
                                         Loopback}
                          << "is not a regular file";
    QTest::newRow("no host, no settings")
        << QStringList{QStringLiteral("greet")} << "no controller address: pass --to HOST";
    QTest::newRow("parallel 0") << QStringList{QStringLiteral("send"), file, to, Loopback,
                                               QStringLiteral("--parallel=0")}
                                << "--parallel needs a number from 1 to 64";
    QTest::newRow("parallel 65") << QStringList{QStringLiteral("send"), file, to, Loopback,
                                                QStringLiteral("--parallel=65")}
                                 << "--parallel needs a number from 1 to 64";
    QTest::newRow("targets file, port out of range")
        << QStringList{QStringLiteral("send"), file, QStringLiteral("--targets"),
                       QStringLiteral("TARGETS")}
        << "targets:2: port 99999 is not from 1 to 65535";
    QTest::newRow("the same target twice")
        << QStringList{QStringLiteral("send"),          file, to, Loopback, to,
                       QStringLiteral("127.0.0.1:8080")}
        << "--to 2: 127.0.0.1:8080 is there already, at --to 1";
    QTest::newRow("retry with files of its own")
        << QStringList{QStringLiteral("send"), file, QStringLiteral("--retry-failed"),
                       QStringLiteral("TARGETS")}
        << "--retry-failed sends the files its report names";
    QTest::newRow("report in a missing folder")
        << QStringList{QStringLiteral("send"),
                       file,
                       to,
                       Loopback,
                       QStringLiteral("--report"),
                       QStringLiteral("DIR/missing/report.json")}
        << "cannot write ";
}

void tst_KvrTransfer::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("file.bin")), "contents"));
    arguments.replaceInStrings(QStringLiteral("FILE"), path(QStringLiteral("file.bin")));
    const QString marked = path(Protocol::startMarkerText() + QStringLiteral(".bin"));
    QVERIFY(TestFiles::writeFile(marked, "contents"));
    arguments.replaceInStrings(QStringLiteral("MARKED"), marked);
    arguments.replaceInStrings(QStringLiteral("DIR"), m_dir->path());
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("targets")), "127.0.0.1\n127.0.0.1:99999\n"));
    arguments.replaceInStrings(QStringLiteral("TARGETS"), path(QStringLiteral("targets")));
    if (arguments.contains(QStringLiteral("FIFO"))) {
#ifdef Q_OS_WIN
        QSKIP("Windows has no FIFO in the file system");
#else
        const QString fifo = path(QStringLiteral("fifo"));
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        arguments.replaceInStrings(QStringLiteral("FIFO"), fifo);
#endif
    }
    QVERIFY(m_server.listen(QHostAddress::LocalHost, Port));

    // Without a command, main answers.
    const bool command = Commands::create(arguments.value(0)) != nullptr;
    const Run run = command ? runCommand(arguments) : runProgram(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(error), qPrintable(describe(run)));
    QVERIFY2(run.err.count(QLatin1Char('\n')) == 1, qPrintable(describe(run)));
    QVERIFY(run.out.isEmpty());
    // The kernel completes a connection before accept: one would show now.
    QVERIFY(!m_server.waitForNewConnection(0));
}

void tst_KvrTransfer::transfers_data()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("fromSettings");
    QTest::addColumn<QString>("history");  // kept, off (--no-history) or unwritable
    QTest::addColumn<QStringList>("more"); // options
    QTest::addColumn<int>("gapMs");        // between files, at least

    const QString kept = QStringLiteral("kept");
    const QStringList none;
    QTest::newRow("send") << true << false << false << kept << none << 0;
    QTest::newRow("send at full pace, a gap")
        << true << false << false << kept
        << QStringList{QStringLiteral("--pace=full"), QStringLiteral("--gap"),
                       QStringLiteral("300")}
        << 300;
    QTest::newRow("send with a cap")
        << true << true << false << kept << QStringList{QStringLiteral("--pace=40")} << 0;
    QTest::newRow("send, json") << true << true << false << kept << none << 0;
    QTest::newRow("send, host from settings") << true << false << true << kept << none << 0;
    QTest::newRow("send, no history")
        << true << false << false << QStringLiteral("off") << none << 0;
    QTest::newRow("send, history cannot be written")
        << true << true << false << QStringLiteral("unwritable") << none << 0;
    QTest::newRow("receive") << false << false << false << kept << none << 0;
    QTest::newRow("receive, json") << false << true << false << kept << none << 0;
    QTest::newRow("receive, host and folder from settings")
        << false << false << true << kept << none << 0;
    QTest::newRow("receive, no history")
        << false << true << false << QStringLiteral("off") << none << 0;
    QTest::newRow("receive, history cannot be written")
        << false << false << false << QStringLiteral("unwritable") << none << 0;
}

// Several files each way over one connection, exact, one line or one
// ended event per file, and one line of history per file.
void tst_KvrTransfer::transfers()
{
    QFETCH(bool, send);
    QFETCH(bool, json);
    QFETCH(bool, fromSettings);
    QFETCH(QString, history);
    QFETCH(QStringList, more);
    QFETCH(int, gapMs);
    const QMap<QString, QByteArray> files = sampleFiles();
    const QString sourceDir = path(QStringLiteral("source"));
    const QString targetDir = path(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(sourceDir) && QDir().mkpath(targetDir));
    QStringList paths;
    QVERIFY(writeFiles(sourceDir, files, &paths));

    StandInProcess standIn(WaitMs);
    QStringList standInArguments;
    for (const QString &file : paths)
        standInArguments << QStringLiteral("--send") << file;
    QVERIFY2(
        standIn.startOnLoopback(targetDir, send ? QStringList() : standInArguments, m_dir->path()),
        qPrintable(standIn.seenOutput()));

    QStringList arguments = send ? QStringList{QStringLiteral("send")} + paths
                                 : QStringList{QStringLiteral("receive"), QStringLiteral("--count"),
                                               QString::number(files.size())};
    if (fromSettings) {
        QSettings settings(settingsBesideTest(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("serverAddress"), Loopback);
        settings.setValue(QStringLiteral("saveFilePath"), targetDir);
    } else {
        arguments << (send ? QStringLiteral("--to") : QStringLiteral("--from")) << Loopback;
        if (!send)
            arguments << QStringLiteral("--dir") << targetDir;
    }
    if (json)
        arguments << QStringLiteral("--json");
    if (history == QLatin1String("off"))
        arguments << QStringLiteral("--no-history");
    if (history == QLatin1String("unwritable"))
        QVERIFY(QDir().mkpath(historyBesideTest()));

    QElapsedTimer clock;
    clock.start();
    const Run run = runCommand(arguments + more);
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    QVERIFY(clock.elapsed() >= gapMs * (files.size() - 1));
    int finishedCode = -1;
    const QStringList ended =
        json ? jsonEnded(run.out, &finishedCode)
             : textEnded(run.out, send ? QStringLiteral("sent") : QStringLiteral("received"));
    QStringList expected;
    for (const QString &name : files.keys())
        expected << name + QStringLiteral(" done");
    QCOMPARE(ended, expected);
    QCOMPARE(finishedCode, json ? 0 : -1);
    if (send) {
        for (const QString &name : files.keys())
            QVERIFY2(!standIn.waitForLine(QStringLiteral("file received: ") + name).isNull(),
                     qPrintable(standIn.seenOutput()));
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QCOMPARE(TestFiles::readFile(targetDir + QLatin1Char('/') + it.key()), it.value());

    QCOMPARE(run.err.count(QStringLiteral("cannot write the history")),
             history == QLatin1String("unwritable") ? 1 : 0);
    QStringList expectedHistory;
    if (history == QLatin1String("kept")) {
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            expectedHistory << QStringList{send ? QStringLiteral("send")
                                                : QStringLiteral("receive"),
                                           Loopback,
                                           QString::number(Port),
                                           it.key(),
                                           QString::number(it.value().size()),
                                           QString::fromLatin1(TestFiles::md5Hex(it.value())),
                                           QStringLiteral("ok")}
                                   .join(QLatin1Char(' '));
    }
    QStringList written;
    for (const QStringList &entry : HistoryFile::entries(historyBesideTest()))
        written << entry.mid(1, 7).join(QLatin1Char(' '));
    QCOMPARE(written, expectedHistory);
}

void tst_KvrTransfer::failures_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<Peer>("peer");
    QTest::addColumn<QByteArray>("peerWrites");
    QTest::addColumn<bool>("interrupt");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("line");       // on stdout
    QTest::addColumn<QStringList>("stored"); // under their own names

    const QByteArray good = TestFiles::framed(QStringLiteral("good.bin"), "good");
    QByteArray bad = TestFiles::framed(QStringLiteral("bad.bin"), "bad!");
    bad.replace(TestFiles::md5Hex("bad!"), TestFiles::md5Hex("bad?"));
    const QByteArray half =
        TestFiles::framed(QStringLiteral("half.bin"), QByteArray(1000, 'h')).left(500);
    // 2000 bytes announced, 1000 before the end marker.
    const QByteArray shortWithoutMd5 =
        Protocol::buildHeader(QStringLiteral("short.bin"), 2000, QByteArray()) +
        QByteArray(1000, 's') + Protocol::endMarker();
    const QByteArray shortWithMd5 =
        Protocol::buildHeader(QStringLiteral("over.bin"), 2000,
                              TestFiles::md5Hex(QByteArray(1000, 'o'))) +
        QByteArray(1000, 'o') + Protocol::endMarker();
    const QByteArray refused = TestFiles::framed(QStringLiteral(".."), "refused");
    const int refusedHeader =
        Protocol::buildHeader(QStringLiteral(".."), 7, TestFiles::md5Hex("refused")).size();
    // 100000 bytes announced, and no end marker after twice as many.
    const QByteArray runaway =
        Protocol::buildHeader(QStringLiteral("long.bin"), 100000, QByteArray()) +
        TestFiles::noise(200000, 3);
    const QStringList none;
    const QStringList goodStored{QStringLiteral("good.bin")};

    QTest::newRow("no listener") << "send big.bin" << Peer::None << QByteArray() << false << 1
                                 << "cannot connect to 127.0.0.1:8080" << QString() << none;
    QTest::newRow("no listener, json")
        << "send big.bin --json" << Peer::None << QByteArray() << false << 1
        << "cannot connect to 127.0.0.1:8080"
        << R"({"event":"finished","exitCode":1,"failed":1,"files":1})" << none;
    QTest::newRow("digest mismatch, then a good file")
        << "receive --count 2" << Peer::WritesAndStays << bad + good << false << 4
        << "1 of 2 files failed" << QString() << goodStored;
    QTest::newRow("receive: size differs, no MD5")
        << "receive --count 1" << Peer::WritesAndStays << shortWithoutMd5 << false << 4
        << "1 of 1 files failed"
        << "receive failed: short.bin: size mismatch after 1000 of 2000 bytes"
        << QStringList{QStringLiteral("short.bin")};
    QTest::newRow("receive: size differs, MD5 matches")
        << "receive --count 1" << Peer::WritesAndStays << shortWithMd5 << false << 0 << ""
        << "received over.bin: 1000 bytes, " << QStringList{QStringLiteral("over.bin")};
    QTest::newRow("receive: peer drops mid-file")
        << "receive" << Peer::WritesAndCloses << half << false << 5 << "1 of 1 files failed"
        << QString() << none;
    QTest::newRow("send: peer drops mid-file")
        << "send big.bin" << Peer::AbortsOnData << QByteArray() << false << 5
        << "1 of 1 files failed" << QString() << none;
    QTest::newRow("send: peer resets before reading")
        << "send mid.bin" << Peer::WritesAndResets << QByteArray() << false << 5
        << "1 of 1 files failed"
        << "send failed: mid.bin: connection lost" << none;
    QTest::newRow("send: file changed during the send")
        << "send big.bin" << Peer::ChangesFileOnData << QByteArray() << false << 3
        << "1 of 1 files failed"
        << "send failed: big.bin: changed during send" << none;
    QTest::newRow("receive: stall mid-file")
        << "receive --count 1" << Peer::WritesAndStays << half << false << 3
        << "1 of 1 files failed" << QString() << none;
    QTest::newRow("receive: idle ends the wait mid-file")
        << "receive --idle 0.5" << Peer::WritesAndStays << half << false << 3
        << "1 of 1 files failed"
        << "receive failed: half.bin: incomplete" << none;
    QTest::newRow("receive: count not reached")
        << "receive --count 2" << Peer::WritesAndCloses << good << false << 5
        << "1 of 2 files failed" << QString() << goodStored;
    QTest::newRow("receive: idle ends the wait")
        << "receive --idle 0.5" << Peer::WritesAndStays << good << false << 0 << ""
        << "received good.bin: 4 bytes" << goodStored;
    QTest::newRow("receive: idle before count")
        << "receive --count 2 --idle 0.5" << Peer::WritesAndStays << good << false << 3
        << "1 of 2 files failed" << QString() << goodStored;
    // A portable copy receiving beside itself.
    QTest::newRow("receive: a name of the program's own")
        << "receive --count 1 --dir PROGRAMDIR" << Peer::WritesAndStays
        << TestFiles::framed(QStringLiteral("qt.conf"), "[Paths]\nPrefix=/tmp\n") << false << 3
        << "1 of 1 files failed"
        << "receive failed: qt.conf: program file after 0 of 0 bytes (one of the program's own "
           "files, left as it was)"
        << none;
    QTest::newRow("receive: a refused name after a file, json")
        << "receive --count 2 --json" << Peer::WritesAndStays << good + refused << false << 3 << ""
        << QStringLiteral(R"({"bytes":0,"bytesPerSecond":0,"direction":"receive",)"
                          R"("event":"ended","exitCode":3,"ms":0,"name":"",)"
                          R"("outcome":"create-failed","size":0,"wireBytes":%1})")
               .arg(refusedHeader)
        << goodStored;
    QTest::newRow("receive: far past the size announced")
        << "receive --count 1" << Peer::WritesAndStays << runaway << false << 3
        << "1 of 1 files failed"
        << "of 100000 bytes (ran far past the size announced without an end marker; its "
           "partial file is removed)"
        << none;
    QTest::newRow("receive: the same file twice, keep both")
        << "receive --count 2 --existing keep-both" << Peer::WritesAndStays << good + good << false
        << 0 << ""
        << "(a file of its name was there; stored as "
        << QStringList{QStringLiteral("good (1).bin"), QStringLiteral("good.bin")};
    QTest::newRow("receive: the same file twice, skip identical, json")
        << "receive --count 2 --existing skip-identical --json" << Peer::WritesAndStays
        << good + good << false << 0 << ""
        << R"("name":"good.bin","note":"the same as the file of its name there, which stays; )"
           R"(this copy is dropped","outcome":"skipped-identical")"
        << goodStored;
    QTest::newRow("receive: skip identical, no digest")
        << "receive --count 2 --existing skip-identical" << Peer::WritesAndStays
        << good + TestFiles::framed(QStringLiteral("good.bin"), "good", false) << false << 0 << ""
        << "(no digest to tell whether it is the file of its name there; both kept, stored as "
        << QStringList{QStringLiteral("good (1).bin"), QStringLiteral("good.bin")};
    QTest::newRow("raw data, escaped")
        << "receive" << Peer::WritesAndCloses << QByteArray("你好!!\x01\n") << false << 0
        << QString::fromUtf8("raw data (10 bytes): 你好!!\\x01\\x0a") << QString() << none;
    QTest::newRow("Ctrl+C") << "receive" << Peer::Silent << QByteArray() << true << 130
                            << "interrupted" << QString() << none;
    QTest::newRow("Ctrl+C while reconnecting is a stop")
        << "receive --reconnect" << Peer::Silent << QByteArray() << true << 0 << "connected to"
        << QString() << none;
    QTest::newRow("Ctrl+C mid-file")
        << "receive --json" << Peer::WritesAndStays << half << true << 130 << QString()
        << R"("name":"half.bin","outcome":"interrupted")" << none;
}

void tst_KvrTransfer::failures()
{
    QFETCH(QString, command);
    QFETCH(Peer, peer);
    QFETCH(QByteArray, peerWrites);
    QFETCH(bool, interrupt);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    QFETCH(QString, line);
    QFETCH(QStringList, stored);
    if (peer == Peer::WritesAndResets && !TestFiles::countsAcknowledgements())
        QSKIP("this system cannot count the bytes a peer has not acknowledged");
    const QStringList sources{QStringLiteral("big.bin"), QStringLiteral("mid.bin")};
    QVERIFY(TestFiles::writeFile(path(sources[0]), TestFiles::noise(8 * 1024 * 1024, 1)));
    QVERIFY(TestFiles::writeFile(path(sources[1]), TestFiles::noise(1024 * 1024, 2)));
    serve(peer, peerWrites);

    // Ctrl+C needs the program; the rest runs here, this test its program.
    const QString programDir =
        interrupt ? QFileInfo(cli()).absolutePath() : QCoreApplication::applicationDirPath();
    QStringList arguments = command.split(QLatin1Char(' '));
    for (QString &argument : arguments) {
        if (sources.contains(argument))
            argument = path(argument);
        else if (argument == QLatin1String("PROGRAMDIR"))
            argument = programDir;
    }
    if (arguments.first() == QLatin1String("send"))
        arguments << QStringLiteral("--to") << Loopback;
    else
        arguments << QStringLiteral("--from") << Loopback;
    if (arguments.first() == QLatin1String("receive") &&
        !arguments.contains(QStringLiteral("--dir")))
        arguments << QStringLiteral("--dir") << m_dir->path();
    const auto pressCtrlC = [&](QProcess &process) {
        QTRY_COMPARE_WITH_TIMEOUT(m_peers.size(), 1, WaitMs);
        if (!peerWrites.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(process.peek(4096).contains(R"("event":"started")"), WaitMs);
        // A stop that is to find the run connected waits until the tool
        // says it is: the peer accepts before the tool hears of it.
        if (command.contains(QLatin1String("--reconnect"))) {
            process.setReadChannel(QProcess::StandardError);
            QTRY_VERIFY_WITH_TIMEOUT(process.peek(4096).contains(error.toUtf8()), WaitMs);
            process.setReadChannel(QProcess::StandardOutput);
        }
        QVERIFY(interruptStandIn(process, SIGINT));
    };
    const Run run = interrupt ? runProgram(arguments, pressCtrlC) : runCommand(arguments);
    QVERIFY2(run.exitCode == exitCode, qPrintable(describe(run)));
    QVERIFY2(run.err.contains(error), qPrintable(describe(run)));
    QVERIFY2(run.out.contains(line), qPrintable(describe(run)));
    QStringList files = QDir(m_dir->path()).entryList(QDir::Files);
    files = files.filter(QRegularExpression(QStringLiteral("^[^.]")));
    for (const QString &source : sources)
        files.removeAll(source);
    QCOMPARE(files, stored);
}

// The controller goes away and comes back: the run stays up, gets a file
// from each connection, and a stop ends it well, a file still arriving
// failed and its partial file gone.
void tst_KvrTransfer::reconnectsUntilStopped()
{
    const QString store = path(QStringLiteral("store"));
    const QString target = path(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(store) && QDir().mkpath(target));
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("a.bin")), "first"));
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("b.bin")), "second"));
    // Long enough, paced, to be still arriving when the stop comes.
    TestFiles::writeNoiseFile(path(QStringLiteral("big.bin")), 64 * 1024 * 1024, 4);
    StandInProcess standIn(WaitMs);
    QVERIFY2(standIn.startOnLoopback(
                 store, {QStringLiteral("--send"), path(QStringLiteral("a.bin"))}, m_dir->path()),
             qPrintable(standIn.seenOutput()));

    const auto outputHas = [](QProcess &process, const char *text) {
        return process.peek(1 << 20).contains(text);
    };
    const auto restartAndStop = [&](QProcess &process) {
        QTRY_VERIFY_WITH_TIMEOUT(outputHas(process, R"("name":"a.bin","outcome":"done")"), WaitMs);
        QVERIFY(standIn.stop());
        QTRY_VERIFY_WITH_TIMEOUT(outputHas(process, R"("event":"reconnecting")"), WaitMs);
        QVERIFY2(
            standIn.startOnLoopback(store,
                                    {QStringLiteral("--send"), path(QStringLiteral("b.bin")),
                                     QStringLiteral("--send"), path(QStringLiteral("big.bin"))},
                                    m_dir->path()),
            qPrintable(standIn.seenOutput()));
        QTRY_VERIFY_WITH_TIMEOUT(outputHas(process, R"("name":"big.bin","path")"), WaitMs);
        QVERIFY(interruptStandIn(process, SIGTERM));
    };
    const Run run =
        runProgram({QStringLiteral("receive"), QStringLiteral("--reconnect"),
                    QStringLiteral("--json"), QStringLiteral("--no-history"),
                    QStringLiteral("--from"), Loopback, QStringLiteral("--dir"), target},
                   restartAndStop);
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    int finishedCode = -1;
    QCOMPARE(jsonEnded(run.out, &finishedCode),
             QStringList({QStringLiteral("a.bin done"), QStringLiteral("b.bin done"),
                          QStringLiteral("big.bin interrupted")}));
    QCOMPARE(finishedCode, 0);
    // Once for the whole time the controller was away, not per attempt.
    QCOMPARE(run.out.count(QStringLiteral(R"("event":"reconnecting")")), 1);
    QCOMPARE(run.out.count(QStringLiteral(R"("event":"connected")")), 2);
    QCOMPARE(QDir(target).entryList(QDir::Files | QDir::Hidden),
             QStringList({QStringLiteral("a.bin"), QStringLiteral("b.bin")}));
}

#ifdef Q_OS_LINUX
namespace {

// The socket a service manager listens on, bound to a path or to an
// abstract name ('@' for its zero byte, as NOTIFY_SOCKET writes it).
class NotifySocket
{
public:
    explicit NotifySocket(const QByteArray &name) : m_fd(::socket(AF_UNIX, SOCK_DGRAM, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (name.startsWith('@'))
            address.sun_path[0] = '\0';
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr *>(&address), length) == 0;
        // Read as they come, while the command runs in this thread's events:
        // a full queue would hold the sender back.
        QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { readAll(); });
    }
    ~NotifySocket() { ::close(m_fd); }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool bound() const { return m_bound; }
    // Every datagram that came, in order.
    QStringList messages()
    {
        readAll();
        return m_messages;
    }

private:
    void readAll()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t size = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (size < 0)
                return;
            m_messages << QString::fromUtf8(buffer, int(size));
        }
    }

    const int m_fd;
    QSocketNotifier m_notifier{m_fd, QSocketNotifier::Read};
    bool m_bound = false;
    QStringList m_messages;
};

} // namespace
#endif

void tst_KvrTransfer::tellsServiceManager_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("a path") << QByteArray("notify.socket");
    QTest::newRow("an abstract name")
        << "@kvr-transfer-test-" + QByteArray::number(QCoreApplication::applicationPid());
}

// Ready before the controller answers, the connection and the file in the
// status, the watchdog fed while it waits, and stopping at the end.
void tst_KvrTransfer::tellsServiceManager()
{
#ifndef Q_OS_LINUX
    QSKIP("systemd's notify socket is Linux's");
#else
    QFETCH(QByteArray, name);
    if (!name.startsWith('@'))
        name = QFile::encodeName(path(QString::fromLatin1(name)));
    NotifySocket socket(name);
    QVERIFY(socket.bound());
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("a.bin")), "first"));
    StandInProcess standIn(WaitMs);
    QVERIFY2(standIn.startOnLoopback(path(QStringLiteral("store")),
                                     {QStringLiteral("--send"), path(QStringLiteral("a.bin"))},
                                     m_dir->path()),
             qPrintable(standIn.seenOutput()));
    // As the service runs it: settings and history of its own.
    const QString config = path(QStringLiteral("receiver.ini"));
    QVERIFY(TestFiles::writeFile(config, "[General]\nserverAddress=127.0.0.1\nsaveFilePath=" +
                                             QFile::encodeName(m_dir->path()) + '\n'));
    const QString history = path(QStringLiteral("state/history.csv"));
    qputenv("NOTIFY_SOCKET", name);
    qputenv("WATCHDOG_USEC", "100000");
    const Run run =
        runCommand({QStringLiteral("receive"), QStringLiteral("--idle"), QStringLiteral("0.5"),
                    QStringLiteral("--config"), config, QStringLiteral("--history"), history});
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(HistoryFile::entries(history).size(), 1);
    QCOMPARE(TestFiles::readFile(path(QStringLiteral("a.bin"))), QByteArray("first"));
    const QStringList messages = socket.messages();
    QVERIFY2(messages.size() > 3, qPrintable(messages.join(QLatin1Char('|'))));
    QCOMPARE(messages.first(), QStringLiteral("READY=1"));
    QCOMPARE(messages.last(), QStringLiteral("STOPPING=1"));
    QVERIFY(messages.contains(QStringLiteral("STATUS=connected to 127.0.0.1:8080")));
    QVERIFY(messages.contains(
        QStringLiteral("STATUS=connected to 127.0.0.1:8080; last file: a.bin (done)")));
    QVERIFY(messages.contains(QStringLiteral("WATCHDOG=1")));
#endif
}

#ifndef Q_OS_WIN
namespace {

// The process's state letter: 'T' when stopped, 'Z' once it has exited.
QByteArray processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return "Z";
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1);
}

} // namespace
#endif

// A greeting counts as sent only once the controller's side acknowledged
// it. The tool is held stopped while the peer looks whether the greeting
// came: if not, the peer closes, and the greeting, written after that, is
// answered with a reset, never acknowledged.
void tst_KvrTransfer::greetNeedsAcknowledgement()
{
#ifdef Q_OS_WIN
    QSKIP("holds the tool with SIGSTOP, which Windows does not have");
#else
    QVERIFY(m_server.listen(QHostAddress::LocalHost, Port));
    bool closedFirst = false;
    // Either may come first; until the close has, try again.
    for (int attempt = 0; attempt < 20 && !closedFirst; ++attempt) {
        bool greeted = false;
        const QStringList arguments{QStringLiteral("greet"), QStringLiteral("--to"), Loopback,
                                    QStringLiteral("--json")};
        const Run run = runProgram(arguments, [&](QProcess &process) {
            QVERIFY(m_server.waitForNewConnection(WaitMs));
            QTcpSocket *peer = m_server.nextPendingConnection();
            m_peers.append(peer);
            QCOMPARE(::kill(pid_t(process.processId()), SIGSTOP), 0);
            QTRY_VERIFY_WITH_TIMEOUT(processState(process.processId()) == "T" ||
                                         processState(process.processId()) == "Z",
                                     WaitMs);
            // What the tool sent before it stopped (or finished) is on its
            // way on loopback.
            greeted = processState(process.processId()) == "Z" || peer->bytesAvailable() > 0 ||
                      peer->waitForReadyRead(100);
            if (!greeted)
                peer->abort();
            QCOMPARE(::kill(pid_t(process.processId()), SIGCONT), 0);
        });
        closedFirst = !greeted;
        const int exitCode = greeted ? 0 : 5;
        const QStringList out = lines(run.out);
        QVERIFY2(run.exitCode == exitCode, qPrintable(describe(run)));
        QVERIFY2(run.out.contains(QStringLiteral(R"("event":"greeting-sent")")) == greeted,
                 qPrintable(describe(run)));
        QVERIFY2(out.value(out.size() - 1) ==
                     QStringLiteral(R"({"event":"finished","exitCode":%1,"failed":0,"files":0})")
                         .arg(exitCode),
                 qPrintable(describe(run)));
    }
    QVERIFY(closedFirst);
#endif
}

void tst_KvrTransfer::progressOnlyOnATerminal_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::newRow("terminal") << true;
    QTest::newRow("pipe") << false;
}

// script(1) gives the tool a pseudo-terminal for its stdout.
void tst_KvrTransfer::progressOnlyOnATerminal()
{
    QFETCH(bool, terminal);
#ifdef Q_OS_WIN
    if (terminal)
        QSKIP("needs script(1) for a pseudo-terminal, which Windows does not have");
#endif
    const QString file = path(QStringLiteral("progress.bin"));
    QVERIFY(TestFiles::writeFile(file, TestFiles::randomBytes(4 * 1024 * 1024)));
    StandInProcess standIn(WaitMs);
    QVERIFY(standIn.startOnLoopback(path(QStringLiteral("target")), {}, m_dir->path()));

    const QStringList arguments{QStringLiteral("send"), file, QStringLiteral("--to"), Loopback};
    const Run run = terminal
                        ? runProgram(QStringLiteral("script"),
                                     {QStringLiteral("-qec"),
                                      cli() + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')),
                                      QStringLiteral("/dev/null")})
                        : runProgram(arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    QVERIFY2(run.out.contains(QStringLiteral("sent progress.bin: ")), qPrintable(describe(run)));
    const bool progress = run.out.contains(QStringLiteral("progress.bin  ")) &&
                          run.out.contains(QStringLiteral(" left"));
    QVERIFY2(progress == terminal, qPrintable(describe(run)));
    // Windows ends every line with "\r\n"; only a redraw has a bare '\r'.
    QCOMPARE(run.out.contains(QRegularExpression(QStringLiteral("\r(?!\n)"))), terminal);
}

void tst_KvrTransfer::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("notShown");

    QTest::newRow("the tool") << QStringList{QStringLiteral("--help")}
                              << QStringList{QStringLiteral("  send FILE...   send the files one "
                                                            "after another over one connection"),
                                             QStringLiteral(
                                                 "  greet          send the test greeting"),
                                             QStringLiteral("send, receive or greet.")}
                              << QStringList{QStringLiteral("--port <N>")};
    QTest::newRow("send") << QStringList{QStringLiteral("send"), QStringLiteral("--help")}
                          << QStringList{QStringLiteral("[options] send FILE..."),
                                         QStringLiteral("--buffer-size <N>"),
                                         QStringLiteral("--pace <PACE>"),
                                         QStringLiteral("--gap <MS>"),
                                         QStringLiteral("--to <HOST>"),
                                         QStringLiteral("--targets <FILE>"),
                                         QStringLiteral("--retry-failed <REPORT>"),
                                         QStringLiteral("Exit codes:"),
                                         QStringLiteral("  6    ")}
                          << QStringList{QStringLiteral("--dir <DIR>"),
                                         QStringLiteral("--from <HOST>")};
    QTest::newRow("receive") << QStringList{QStringLiteral("receive"), QStringLiteral("--help")}
                             << QStringList{QStringLiteral("--from <HOST>"),
                                            QStringLiteral("--idle <SECONDS>"),
                                            QStringLiteral("  --json "),
                                            QStringLiteral("--no-history")}
                             << QStringList{QStringLiteral("--to <HOST>"),
                                            QStringLiteral("--buffer-size <N>")};
}

// The tool's description and each command's own options; help ends the
// process, so the program runs.
void tst_KvrTransfer::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, notShown);
    const Run run = runProgram(arguments);
    QVERIFY2(run.exitCode == 0 && run.err.isEmpty(), qPrintable(describe(run)));
    for (const QString &text : shown)
        QVERIFY2(run.out.contains(text), qPrintable(text + QLatin1Char('\n') + describe(run)));
    for (const QString &text : notShown)
        QVERIFY2(!run.out.contains(text), qPrintable(text + QLatin1Char('\n') + describe(run)));
}

// The version of project(), as the window's title and the packages show it.
void tst_KvrTransfer::version()
{
    const Run run = runProgram({QStringLiteral("--version")});
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(run.out.trimmed(), QStringLiteral("kvr-transfer " KVR_VERSION));
}

// Each controller as address and label, or the first bad line's error.
void tst_KvrTransfer::targetsFile_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QString>("error");

    QTest::newRow("comments, blank lines, labels")
        << "# line 3\n\n127.0.0.1\n127.0.0.2:9000  bay 4, left  # spare\n   \n"
        << QStringList{QStringLiteral("127.0.0.1:8080|"),
                       QStringLiteral("127.0.0.2:9000|bay 4, left")}
        << QString();
    QTest::newRow("host names") << "localhost:8081 first\nbench-7.line.local\n"
                                << QStringList{QStringLiteral("localhost:8081|first"),
                                               QStringLiteral("bench-7.line.local:8080|")}
                                << QString();
    QTest::newRow("IPv6") << "[::1]:9000\n::1\n"
                          << QStringList{QStringLiteral("[::1]:9000|"),
                                         QStringLiteral("[::1]:8080|")}
                          << QString();
    QTest::newRow("port out of range")
        << "127.0.0.1\n127.0.0.2:65536\n"
        << QStringList() << "targets:2: port 65536 is not from 1 to 65535";
    QTest::newRow("port 0") << "127.0.0.1:0" << QStringList() << "targets:1: port 0 is not";
    QTest::newRow("no port after the colon")
        << "\n\n127.0.0.1:" << QStringList() << "targets:3: no port after the colon";
    QTest::newRow("not a host") << "# a\nbay_4!\n"
                                << QStringList() << "targets:2: bay_4! is not a host";
    QTest::newRow("duplicate") << "127.0.0.1:8080 a\nLOCALHOST\n127.0.0.1 b\n"
                               << QStringList()
                               << "targets:3: 127.0.0.1:8080 is there already, at targets:1";
    QTest::newRow("same name in other case")
        << "localhost\nLocalHost" << QStringList() << "targets:2: LocalHost:8080 is there already";
}

void tst_KvrTransfer::targetsFile()
{
    QFETCH(QString, text);
    QFETCH(QStringList, targets);
    QFETCH(QString, error);
    TargetList list(Port);
    QCOMPARE(list.addText(text, QStringLiteral("targets")), error.isEmpty());
    QVERIFY2(list.error().startsWith(error), qPrintable(list.error()));
    QStringList parsed;
    for (const Target &target : list.targets())
        parsed << target.address() + QLatin1Char('|') + target.label;
    if (error.isEmpty())
        QCOMPARE(parsed, targets);
}

void tst_KvrTransfer::manyTargets_data()
{
    QTest::addColumn<int>("targets");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("sends");
    QTest::addColumn<QString>("host");

    QTest::newRow("dry run, by name")
        << 3 << QStringList{QStringLiteral("--dry-run")} << false << QStringLiteral("localhost");
    // Every target's lines go into one history at once.
    QTest::newRow("64 at once") << 64 << QStringList{QStringLiteral("--parallel=64")} << true
                                << Loopback;
}

// Each target gets every file, or with --dry-run a connection and nothing
// else; the history has one whole line per target and file.
void tst_KvrTransfer::manyTargets()
{
    QFETCH(int, targets);
    QFETCH(QStringList, arguments);
    QFETCH(bool, sends);
    QFETCH(QString, host);
    const QStringList names{QStringLiteral("a.bin"), QStringLiteral("b.bin")};
    QVERIFY(TestFiles::writeFile(path(names[0]), TestFiles::randomBytes(100000, 1)));
    QVERIFY(TestFiles::writeFile(path(names[1]), "b"));
    Sinks sinks;
    QVERIFY(sinks.listen(targets, 9100, true));
    QVERIFY(
        TestFiles::writeFile(path(QStringLiteral("targets")), sinks.targetsText(host).toUtf8()));

    const Run run =
        runCommand(QStringList{QStringLiteral("send"), path(names[0]), path(names[1]),
                               QStringLiteral("--targets"), path(QStringLiteral("targets"))} +
                   arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(run.out.count(sends ? QStringLiteral("[sent] ") : QStringLiteral("[checked] ")),
             targets);
    QTRY_COMPARE(sinks.connections(), targets);
    const qint64 framed =
        sends ? TestFiles::framed(names[0], TestFiles::randomBytes(100000, 1)).size() +
                    TestFiles::framed(names[1], "b").size()
              : 0;
    QTRY_COMPARE(sinks.bytes(), QVector<qint64>(targets, framed));
    QSet<QString> written;
    for (const QStringList &entry : HistoryFile::entries(historyBesideTest()))
        written << entry.mid(1, 7).join(QLatin1Char(' '));
    QCOMPARE(written.size(), sends ? 2 * targets : 0);
    if (sends)
        QVERIFY(written.contains(QStringLiteral("send 127.0.0.1 %1 b.bin 1 %2 ok")
                                     .arg(9100 + targets - 1)
                                     .arg(QLatin1String(TestFiles::md5Hex("b")))));
}

// Eight stand-ins on ports and addresses of loopback, two targets with
// none: each of the eight stores both files exact, the report and the JUnit
// file say which failed, and a retry from the report goes to those two only.
void tst_KvrTransfer::tenStandInsTwoAway()
{
    const QMap<QString, QByteArray> files{
        {QStringLiteral("firmware.bin"), TestFiles::randomBytes(1024 * 1024, 3)},
        {QStringLiteral("line.ini"), QByteArray("[line]\nbay=1\n")}};
    QStringList paths;
    QVERIFY(writeFiles(m_dir->path(), files, &paths));
    QStringList addresses;
    for (int at = 1; at <= 5; ++at)
        addresses << QStringLiteral("127.0.0.1:%1").arg(8080 + at)
                  << QStringLiteral("127.0.0.%1:8080").arg(at + 1);
    const QStringList away{addresses[4], addresses[9]};
    std::vector<std::unique_ptr<StandInProcess>> standIns;
    const auto startStandIn = [&](const QString &address) {
        standIns.push_back(std::make_unique<StandInProcess>(WaitMs));
        return standIns.back()->start(
            {QStringLiteral("--listen"), address.section(QLatin1Char(':'), 0, 0),
             QStringLiteral("--port"), address.section(QLatin1Char(':'), 1),
             QStringLiteral("--dir"), path(address)},
            m_dir->path());
    };
    QString targets = QStringLiteral("# the line\n");
    for (const QString &address : addresses) {
        targets += address + QStringLiteral(" bay ") + address.right(1) + QLatin1Char('\n');
        QVERIFY(away.contains(address) || startStandIn(address));
    }
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("targets")), targets.toUtf8()));
    const QString report = path(QStringLiteral("report.json"));
    const QString junit = path(QStringLiteral("junit.xml"));

    const Run run =
        runCommand(QStringList{QStringLiteral("send")} + paths +
                   QStringList{QStringLiteral("--targets"), path(QStringLiteral("targets")),
                               QStringLiteral("--report"), report, QStringLiteral("--junit"), junit,
                               QStringLiteral("--json")});
    QVERIFY2(run.exitCode == 6, qPrintable(describe(run)));
    QStringList expected;
    QStringList cases;
    for (const QString &address : addresses) {
        const bool sent = !away.contains(address);
        expected << address + (sent ? QStringLiteral(" sent") : QStringLiteral(" failed"));
        cases << address + QStringLiteral(" bay ") + address.right(1) +
                     (sent ? QString() : QStringLiteral(" failed"));
        for (auto it = files.cbegin(); it != files.cend() && sent; ++it)
            QTRY_COMPARE(TestFiles::readFile(path(address) + QLatin1Char('/') + it.key()),
                         it.value());
    }
    const QJsonObject written = readJson(report);
    QCOMPARE(reportedStatuses(written), expected);
    QCOMPARE(written.value(QStringLiteral("sent")).toInt(), 8);
    QCOMPARE(written.value(QStringLiteral("failed")).toInt(), 2);
    const QJsonObject first = written.value(QStringLiteral("targets")).toArray().first().toObject();
    QCOMPARE(
        first.value(QStringLiteral("files")).toArray().first()[QStringLiteral("md5")].toString(),
        QLatin1String(TestFiles::md5Hex(files.first())));
    QVERIFY(written.value(QStringLiteral("targets"))
                .toArray()
                .at(4)[QStringLiteral("error")]
                .toString()
                .contains(QStringLiteral("cannot connect")));
    QCOMPARE(junitCases(junit), cases);
    for (const QString &line : lines(run.out))
        QVERIFY2(!QJsonDocument::fromJson(line.toUtf8()).object().isEmpty(), qPrintable(line));

    // The eight are gone: a retry that tried them would fail.
    standIns.clear();
    for (const QString &address : away)
        QVERIFY(startStandIn(address));
    const Run retry = runCommand({QStringLiteral("send"), QStringLiteral("--retry-failed"), report,
                                  QStringLiteral("--report"), report});
    QVERIFY2(retry.exitCode == 0, qPrintable(describe(retry)));
    QCOMPARE(reportedStatuses(readJson(report)),
             (QStringList{away[0] + QStringLiteral(" sent"), away[1] + QStringLiteral(" sent")}));
    QCOMPARE(retry.out.count(QStringLiteral("[sent] ")), 2);
    for (const QString &address : away)
        QTRY_COMPARE(TestFiles::readFile(path(address) + QStringLiteral("/firmware.bin")),
                     files.first());
}

// Ctrl+C stops every target, those not begun too, and the report is
// written all the same.
void tst_KvrTransfer::interruptedManyTargets()
{
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("big.bin")),
                                 TestFiles::noise(8 * 1024 * 1024, 1)));
    Sinks sinks;
    QVERIFY(sinks.listen(3, 9100, false));
    QVERIFY(TestFiles::writeFile(path(QStringLiteral("targets")), sinks.targetsText().toUtf8()));
    const QString report = path(QStringLiteral("report.json"));
    const Run run = runProgram(
        {QStringLiteral("send"), path(QStringLiteral("big.bin")), QStringLiteral("--json"),
         QStringLiteral("--parallel=2"), QStringLiteral("--targets"),
         path(QStringLiteral("targets")), QStringLiteral("--report"), report},
        [&](QProcess &process) {
            QTRY_COMPARE_WITH_TIMEOUT(sinks.connections(), 2, WaitMs);
            QTRY_VERIFY_WITH_TIMEOUT(process.peek(4096).contains(R"("event":"started")"), WaitMs);
            QVERIFY(interruptStandIn(process, SIGINT));
        });
    QVERIFY2(run.exitCode == 130, qPrintable(describe(run)));
    const QJsonObject written = readJson(report);
    QCOMPARE(written.value(QStringLiteral("failed")).toInt(), 3);
    const QJsonArray targets = written.value(QStringLiteral("targets")).toArray();
    for (const QJsonValue &target : targets)
        QCOMPARE(target[QStringLiteral("exitCode")].toInt(), 130);
    QCOMPARE(sinks.connections(), 2);
}

QTEST_MAIN(tst_KvrTransfer)
#include "tst_kvrtransfer.moc"
