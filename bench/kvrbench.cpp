// kvr-bench: the figures that matter, each beside a reference measured in
// the same run, in one table. It judges nothing. scripts/bench builds it in
// Release and runs it in a loopback-only network namespace, which it needs:
// the window and the stand-in use 127.0.0.1:8080.
//
// kvr-bench --list names the rows; --only NAME[,NAME...] runs those whose
// name starts with one of them (--only receive, --only send-65536).

#include "app/mainwindow.h"
#include "client/transferlistmodel.h"
#include "faildevice.h"
#include "history/historyformat.h"
#include "history/transferoutcome.h"
#include "measure.h"
#include "net/sendthread.h"
#include "net/workercommands.h"
#include "settings/defaults.h"
#include "settings/sendpace.h"
#include "standinprocess.h"
#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/protocol.h"
#include "transfer/stopthread.h"
#include "windowtest.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <malloc.h>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr int WaitMs = 10000;
const QString FileName = QStringLiteral("bench.bin");

// ---- Where the benchmark meets the product --------------------------------
// What the benchmark assumes about the worker, the engine and the window is
// gathered here. Beyond it, the rows use only saveFilePath and the worker's
// signals and clientState().

// A slow disk: every write of the engine first waits until the bytes
// written so far fit the rate.
ReceiveDisk throttledDisk(double bytesPerSecond)
{
    auto clock = std::make_shared<QElapsedTimer>();
    auto bytes = std::make_shared<qint64>(0);
    return slowDisk([=](const char *, qint64 size) {
        if (!clock->isValid())
            clock->start();
        *bytes += size;
        const qint64 aheadNs =
            qint64(double(*bytes) * 1e9 / bytesPerSecond) - clock->nsecsElapsed();
        if (aheadNs > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(aheadNs));
    });
}

// Times of one signal's codes, taken in the emitting thread. Declare it
// before the worker or window it watches: it must outlive them.
struct CodeClock
{
    std::atomic<qint64> startNs{-1};
    std::atomic<qint64> endNs{-1};
    std::atomic<int> endCode{-1};
    std::atomic<int> emitted{0};
    std::vector<qint64> progressNs; // the emitting thread's until endCode is set

    double seconds() const { return (endNs - startNs) / 1e9; }
};

void watchReceive(sendThread *worker, CodeClock &clock)
{
    QObject::connect(
        worker, &sendThread::sendRecState, worker,
        [&clock](int code) {
            ++clock.emitted;
            if (code == RecStarted && clock.startNs < 0)
                clock.startNs = Measure::nowNs();
            if (endsReception(code) && clock.endCode < 0) {
                clock.endNs = Measure::nowNs();
                clock.endCode = code;
            }
        },
        Qt::DirectConnection);
}

void watchSend(sendThread *worker, CodeClock &clock)
{
    QObject::connect(
        worker, &sendThread::sendTransState, worker,
        [&clock](int code) {
            const qint64 now = Measure::nowNs();
            if (code == TransStarted)
                clock.startNs = now;
            else if (code == TransProgress)
                clock.progressNs.push_back(now);
            else {
                clock.endNs = now;
                clock.endCode = code;
            }
        },
        Qt::DirectConnection);
}

// The network worker started the way the window starts it.
class Worker
{
public:
    explicit Worker(int bufferSize, ReceiveDisk disk = {}) : thread(std::move(disk))
    {
        thread.bufferSize = bufferSize;
        thread.controllerAddress.set(QStringLiteral("127.0.0.1"));
        thread.moveToThread(&thread);
        thread.start();
        // The socket made while unconnected reads into a buffer of bufferSize.
        command(CmdDisconnect);
    }
    ~Worker() { stopThread(&thread); }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    void command(int code)
    {
        QMetaObject::invokeMethod(&thread, "handleCmd", Qt::QueuedConnection, Q_ARG(int, code));
    }
    bool connectTo(StandInProcess &standIn)
    {
        command(CmdConnect);
        return !standIn.waitForLine(QStringLiteral("connected 127.0.0.1")).isNull() &&
               Measure::waitUntil(
                   [this] { return thread.clientState() == QAbstractSocket::ConnectedState; },
                   WaitMs);
    }
    void sendFile(const QString &path)
    {
        thread.filePath.set(path);
        thread.sendLink = LinkClient;
        command(CmdSendFile);
    }

    sendThread thread;
};

// settings.ini for a window that receives into inbox from 127.0.0.1,
// removed again after the window, which writes it when it closes.
struct WindowSettings
{
    explicit WindowSettings(const QString &inbox) { WindowTest::writeClientSettings(inbox); }
    ~WindowSettings() { WindowTest::removeSettings(); }
};

// The window tries to connect as it is built. Built while nothing listens,
// it is refused, and the benchmark decides when it connects.
bool waitRefused(MainWindow &window)
{
    window.show();
    auto *action = window.findChild<QAction *>(QStringLiteral("act_connect"));
    return Measure::waitUntil([action] { return action->isEnabled(); }, WaitMs);
}

void connectWindow(MainWindow &window)
{
    QMetaObject::invokeMethod(&window, "on_act_connect_triggered");
}

// ---- The table ------------------------------------------------------------

struct Row
{
    QString what;
    double figure = -1;
    QString referenceName;
    double reference = -1;
    QString note; // how it was measured, or why it failed
};

QString number(double value)
{
    const double magnitude = qAbs(value);
    return QString::number(value, 'f',
                           magnitude >= 100  ? 0
                           : magnitude >= 10 ? 1
                           : magnitude >= 1  ? 2
                                             : 3);
}

void printHeader()
{
    std::printf("%-52s %9s  %-16s %9s %8s  %s\n", "figure", "value", "reference", "value", "ratio",
                "note");
    std::fflush(stdout);
}

void printRow(const Row &row)
{
    const bool ok = row.figure >= 0;
    const QString ratio =
        ok && row.reference > 0 ? number(row.figure / row.reference) : QStringLiteral("-");
    std::printf("%-52s %9s  %-16s %9s %8s  %s\n", qPrintable(row.what),
                qPrintable(ok ? number(row.figure) : QStringLiteral("-")),
                qPrintable(row.referenceName),
                qPrintable(row.reference >= 0 ? number(row.reference) : QStringLiteral("-")),
                qPrintable(ratio), qPrintable(row.note));
    std::fflush(stdout);
}

Row failed(const QString &what, const QString &referenceName, const QString &why)
{
    return {what, -1, referenceName, -1, QStringLiteral("FAILED: ") + why};
}

// ---- What every measurement shares ----------------------------------------

struct Options
{
    qint64 sizeMiB = 256;
    int repeats = 3;
    int sendSeconds = 4;
    qint64 slowMiB = 128;
    int idleSeconds = 5;
    qint64 floodMiB = 1024;
    qint64 largeMiB = 1024;
    QString baseDirectory;
};

struct Source
{
    QString path;
    qint64 size = 0;
    QByteArray md5Hex;
};

class Context
{
public:
    explicit Context(const Options &options)
        : options(options), m_root(options.baseDirectory + QStringLiteral("/kvr-bench-XXXXXX"))
    {}
    bool isValid() const { return m_root.isValid(); }
    QString root() const { return m_root.path(); }
    // An empty folder name in the temporary root.
    QString freshDir(const QString &name) const
    {
        QDir dir(m_root.filePath(name));
        dir.removeRecursively();
        QDir().mkpath(dir.path());
        return dir.path();
    }
    // The file the stand-in sends, written on first use.
    const Source &source()
    {
        if (m_source.path.isEmpty()) {
            m_source.path = freshDir(QStringLiteral("source")) + QLatin1Char('/') + FileName;
            m_source.size = options.sizeMiB * 1024 * 1024;
            m_source.md5Hex = TestFiles::writeNoiseFile(m_source.path, m_source.size, 7);
        }
        return m_source;
    }

    const Options options;

private:
    QTemporaryDir m_root;
    Source m_source;
};

QByteArray md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex()
                                                                 : QByteArray();
}

qint64 sizeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_size) : -1;
}

bool startStandIn(StandInProcess &standIn, Context &context, const QStringList &arguments)
{
    return standIn.startOnLoopback(context.freshDir(QStringLiteral("controller")), arguments,
                                   context.root());
}

QStringList sendArguments(const Source &source, bool withMd5)
{
    QStringList arguments{QStringLiteral("--send"), source.path, QStringLiteral("--no-pace")};
    if (!withMd5)
        arguments << QStringLiteral("--no-md5");
    return arguments;
}

// ---- Receive throughput against socat -------------------------------------
// Each from the first byte to the file complete, so that the stand-in's MD5
// pass before it is left out.

struct Timed
{
    double seconds = -1;
    QString failure;
};

Timed checkReceived(const CodeClock &codes, qint64 endNs, const QString &inbox,
                    const Source &source)
{
    Timed timed;
    const QString path = inbox + QLatin1Char('/') + FileName;
    if (codes.endCode != RecDone || codes.startNs < 0)
        timed.failure = QStringLiteral("end code %1").arg(codes.endCode.load());
    else if (md5OfFile(path) != source.md5Hex)
        timed.failure = QStringLiteral("the file differs from the one sent");
    else
        timed.seconds = (endNs - codes.startNs) / 1e9;
    QFile::remove(path);
    return timed;
}

// cpuSeconds: this process's CPU from the connect to the end code, when
// asked for; the check of the file afterwards is left out.
Timed receiveByWorker(Context &context, bool withMd5, double *cpuSeconds)
{
    const QString inbox = context.freshDir(QStringLiteral("inbox"));
    saveFilePath.set(inbox);
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, sendArguments(context.source(), withMd5)))
        return {-1, QStringLiteral("the stand-in did not start")};
    CodeClock codes;
    Worker worker(Defaults::BufferSize);
    watchReceive(&worker.thread, codes);
    const double cpuBefore = Measure::cpuSeconds();
    worker.command(CmdConnect);
    Measure::waitUntil([&codes] { return codes.endCode >= 0; }, 300000);
    if (cpuSeconds)
        *cpuSeconds = Measure::cpuSeconds() - cpuBefore;
    return checkReceived(codes, codes.endNs, inbox, context.source());
}

Timed receiveByWorker(Context &context, bool withMd5)
{
    return receiveByWorker(context, withMd5, nullptr);
}

// Until the GUI thread has handled the end code: what the user sees. With
// listOpen, the transfer list shows its queue, where the reception's row
// moves, all the while.
Timed receiveByWindow(Context &context, bool withMd5, bool listOpen)
{
    const QString inbox = context.freshDir(QStringLiteral("inbox"));
    const WindowSettings settings(inbox);
    StandInProcess standIn(WaitMs);
    CodeClock codes;
    std::atomic<qint64> handledEndNs{-1};
    MainWindow window;
    if (!waitRefused(window))
        return {-1, QStringLiteral("the window's first connection attempt did not end")};
    if (!startStandIn(standIn, context, sendArguments(context.source(), withMd5)))
        return {-1, QStringLiteral("the stand-in did not start")};
    watchReceive(window.worker(), codes);
    if (listOpen)
        window.findChild<QAction *>(QStringLiteral("act_transferList"))->trigger();
    QObject gui; // queued after the window's own slot
    QObject::connect(window.worker(), &sendThread::sendRecState, &gui, [&handledEndNs](int code) {
        if (endsReception(code) && handledEndNs < 0)
            handledEndNs = Measure::nowNs();
    });
    connectWindow(window);
    Measure::waitUntil([&handledEndNs] { return handledEndNs >= 0; }, 300000);
    return checkReceived(codes, handledEndNs, inbox, context.source());
}

Timed receiveByWindow(Context &context, bool withMd5)
{
    return receiveByWindow(context, withMd5, false);
}

// kvr-transfer receive as a script would run it; the time is its own, from
// the file's start to its end, as the worker's is.
Timed receiveByCli(Context &context, bool withMd5)
{
    const QString inbox = context.freshDir(QStringLiteral("inbox"));
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, sendArguments(context.source(), withMd5)))
        return {-1, QStringLiteral("the stand-in did not start")};
    Measure::ChildProcess cli;
    cli.start(QStringLiteral(KVR_TRANSFER),
              {QStringLiteral("receive"), QStringLiteral("--from"), QStringLiteral("127.0.0.1"),
               QStringLiteral("--dir"), inbox, QStringLiteral("--count"), QStringLiteral("1"),
               QStringLiteral("--json"), QStringLiteral("--no-history")});
    if (!cli.waitForFinished(300000) || cli.exitCode() != 0)
        return {-1, QStringLiteral("kvr-transfer: ") +
                        QString::fromUtf8(cli.readAllStandardError()).trimmed()};
    QJsonObject ended;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value(QStringLiteral("event")) == QLatin1String("ended"))
            ended = event;
    }
    const QString path = inbox + QLatin1Char('/') + FileName;
    const bool same = md5OfFile(path) == context.source().md5Hex;
    QFile::remove(path);
    if (!same || ended.isEmpty())
        return {-1, QStringLiteral("kvr-transfer did not store the file whole")};
    return {qMax(1.0, ended.value(QStringLiteral("ms")).toDouble()) / 1e3, QString()};
}

// socat knows no framing and the stand-in keeps the connection open after
// a send: the stream is whole when the file has all its bytes.
Timed receiveBySocat(Context &context, bool withMd5)
{
    const Source &source = context.source();
    const QString target = context.freshDir(QStringLiteral("socat")) + QLatin1Char('/') + FileName;
    const qint64 expected = Protocol::buildHeader(FileName, quint64(source.size),
                                                  withMd5 ? source.md5Hex : QByteArray())
                                .size() +
                            source.size + Protocol::endMarker().size();
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, sendArguments(source, withMd5)))
        return {-1, QStringLiteral("the stand-in did not start")};
    Measure::ChildProcess socat;
    socat.start(QStringLiteral("socat"),
                {QStringLiteral("-u"), QStringLiteral("TCP:127.0.0.1:8080"),
                 QStringLiteral("CREATE:") + target});
    const qint64 startedNs = Measure::nowNs();
    qint64 firstNs = -1;
    qint64 size = 0;
    while ((size = sizeOf(target)) < expected && Measure::nowNs() - startedNs < 300e9) {
        if (size > 0 && firstNs < 0)
            firstNs = Measure::nowNs();
        if (socat.state() == QProcess::NotRunning && sizeOf(target) < expected)
            return {-1, QStringLiteral("socat stopped at %1 of %2 bytes").arg(size).arg(expected)};
        usleep(500);
    }
    const qint64 endNs = Measure::nowNs();
    QFile::remove(target);
    if (size != expected)
        return {-1, QStringLiteral("socat got %1 of %2 bytes").arg(size).arg(expected)};
    // A stream quick enough to arrive between two looks has no first byte.
    return {(endNs - (firstNs < 0 ? startedNs : firstNs)) / 1e9, QString()};
}

using Receive = Timed (*)(Context &, bool);

// Each run alternates with one of the reference, socat's unless another is
// given, so that both see the same load.
QList<Row> receiveRows(Context &context, const QString &what, Receive receive, bool withMd5,
                       const QString &name = QStringLiteral("socat MB/s"),
                       Receive reference = receiveBySocat)
{
    if (context.source().md5Hex.isEmpty())
        return {failed(what, name, QStringLiteral("cannot write the source file"))};
    std::vector<double> rates;
    std::vector<double> referenceRates;
    const double megabytes = context.source().size / 1e6;
    for (int repeat = 0; repeat < context.options.repeats; ++repeat) {
        const Timed run = receive(context, withMd5);
        const Timed other = reference(context, withMd5);
        if (!run.failure.isEmpty() || !other.failure.isEmpty())
            return {failed(what, name, run.failure.isEmpty() ? other.failure : run.failure)};
        rates.push_back(megabytes / run.seconds);
        referenceRates.push_back(megabytes / other.seconds);
    }
    return {{what, Measure::median(rates), name, Measure::median(referenceRates),
             QStringLiteral("median of %1, %2 MiB, bufferSize %3")
                 .arg(context.options.repeats)
                 .arg(context.options.sizeMiB)
                 .arg(Defaults::BufferSize)}};
}

// The worker with MD5 against the digest alone: md5sum of the same file,
// cached, on one core. CPU counts every thread of this process.
QList<Row> digestRows(Context &context)
{
    const QString what = QStringLiteral("receive, worker, MD5 (MB/s)");
    const QString name = QStringLiteral("md5sum MB/s");
    const Source &source = context.source();
    if (source.md5Hex.isEmpty())
        return {failed(what, name, QStringLiteral("cannot write the source file"))};
    std::vector<double> rates, nsPerByte, digestRates, digestNsPerByte;
    for (int repeat = 0; repeat < context.options.repeats; ++repeat) {
        double cpu = 0;
        const Timed run = receiveByWorker(context, true, &cpu);
        const double childBefore = Measure::cpuSeconds(RUSAGE_CHILDREN);
        const qint64 digestStartNs = Measure::nowNs();
        QProcess md5sum;
        md5sum.start(QStringLiteral("md5sum"), {source.path});
        const bool digested = md5sum.waitForFinished(300000) &&
                              md5sum.readAllStandardOutput().startsWith(source.md5Hex);
        const double digestSeconds = (Measure::nowNs() - digestStartNs) / 1e9;
        const double digestCpu = Measure::cpuSeconds(RUSAGE_CHILDREN) - childBefore;
        if (!run.failure.isEmpty() || !digested)
            return {failed(what, name,
                           run.failure.isEmpty() ? QStringLiteral("md5sum failed") : run.failure)};
        rates.push_back(source.size / 1e6 / run.seconds);
        nsPerByte.push_back(cpu * 1e9 / double(source.size));
        digestRates.push_back(source.size / 1e6 / digestSeconds);
        digestNsPerByte.push_back(digestCpu * 1e9 / double(source.size));
    }
    const QString note = QStringLiteral("median of %1, %2 MiB, bufferSize %3")
                             .arg(context.options.repeats)
                             .arg(context.options.sizeMiB)
                             .arg(Defaults::BufferSize);
    return {{what, Measure::median(rates), name, Measure::median(digestRates), note},
            {QStringLiteral("receive, worker, MD5: CPU ns per byte"), Measure::median(nsPerByte),
             QStringLiteral("md5sum ns/byte"), Measure::median(digestNsPerByte), note}};
}

// ---- Send throughput against the pacing ceiling ---------------------------
// The sender writes one bufferSize block per millisecond at most.

QString checkStored(StandInProcess &standIn, const QString &name, qint64 timeoutMs = 6 * WaitMs)
{
    const QString line =
        standIn.waitForLine(QStringLiteral("file received: ") + name, int(timeoutMs));
    if (line.isNull())
        return QStringLiteral("the stand-in did not store the file");
    return line.endsWith(QStringLiteral("MD5 ok")) ? QString() : line;
}

std::vector<double> periodsMicroseconds(const std::vector<qint64> &times)
{
    std::vector<double> periods;
    for (size_t i = 1; i < times.size(); ++i)
        periods.push_back((times[i] - times[i - 1]) / 1e3);
    return periods;
}

QList<Row> sendRows(Context &context, int bufferSize)
{
    const QString what = QStringLiteral("send, bufferSize %1: ").arg(bufferSize);
    const qint64 size = qint64(bufferSize) * 1000 * context.options.sendSeconds;
    const QString name = QStringLiteral("send-%1.bin").arg(bufferSize);
    const QString path = context.freshDir(QStringLiteral("send")) + QLatin1Char('/') + name;
    const QString ceiling = QStringLiteral("ceiling MB/s");
    if (TestFiles::writeNoiseFile(path, size, quint32(bufferSize)).isEmpty())
        return {failed(what + QStringLiteral("MB/s"), ceiling, QStringLiteral("cannot write"))};
    StandInProcess standIn(WaitMs);
    CodeClock codes;
    codes.progressNs.reserve(size_t(size / bufferSize + 4));
    if (!startStandIn(standIn, context, {}))
        return {failed(what + QStringLiteral("MB/s"), ceiling, QStringLiteral("no stand-in"))};
    Worker worker(bufferSize);
    if (!worker.connectTo(standIn))
        return {failed(what + QStringLiteral("MB/s"), ceiling, QStringLiteral("no connection"))};
    watchSend(&worker.thread, codes);
    worker.sendFile(path);
    Measure::waitUntil([&codes] { return codes.endCode >= 0; }, size / bufferSize * 20 + 60000);
    QString failure = codes.endCode == TransDone ? checkStored(standIn, name)
                                                 : QStringLiteral("end code %1").arg(codes.endCode);
    if (!failure.isEmpty())
        return {failed(what + QStringLiteral("MB/s"), ceiling, failure)};
    const std::vector<double> periods = periodsMicroseconds(codes.progressNs);
    const QString note = QStringLiteral("worker to stand-in, %1 MB").arg(size / 1e6, 0, 'f', 0);
    return {{what + QStringLiteral("MB/s"), size / 1e6 / codes.seconds(), ceiling, bufferSize / 1e3,
             note},
            {what + QStringLiteral("block period p50 (us)"), Measure::percentile(periods, 50),
             QStringLiteral("pacing us"), 1000, note},
            {what + QStringLiteral("block period p99 (us)"), Measure::percentile(periods, 99),
             QStringLiteral("pacing us"), 1000, note}};
}

// ---- Send paces on a loopback shaped to 1 Gbit/s ---------------------------
// Plain loopback is faster than any controller's link; these rows send over
// lo shaped by tc to 1 Gbit/s, as a fast network would carry them. The
// stand-in receives each stream, and its lines time it: from the header to
// the file checked, the sender's MD5 pass before it left out.

// tc's token bucket on lo for as long as it lives.
class ShapedLoopback
{
public:
    ShapedLoopback()
        : m_shaped(tc({QStringLiteral("add"), QStringLiteral("dev"), QStringLiteral("lo"),
                       QStringLiteral("root"), QStringLiteral("tbf"), QStringLiteral("rate"),
                       QStringLiteral("1gbit"), QStringLiteral("burst"), QStringLiteral("512kb"),
                       QStringLiteral("latency"), QStringLiteral("20ms")}))
    {}
    ~ShapedLoopback()
    {
        if (m_shaped)
            tc({QStringLiteral("del"), QStringLiteral("dev"), QStringLiteral("lo"),
                QStringLiteral("root")});
    }
    ShapedLoopback(const ShapedLoopback &) = delete;
    ShapedLoopback &operator=(const ShapedLoopback &) = delete;
    bool isValid() const { return m_shaped; }

private:
    static bool tc(const QStringList &arguments)
    {
        QProcess process;
        process.start(QStringLiteral("tc"), QStringList{QStringLiteral("qdisc")} + arguments);
        return process.waitForFinished(5000) && process.exitCode() == 0;
    }
    const bool m_shaped;
};

// The stream socat sends: the source framed as the sender frames it, so
// that the stand-in stores and checks it as any file. Sparse sources stay
// sparse.
bool writeFramed(const Source &source, const QString &path)
{
    QFile in(source.path);
    QFile out(path);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    out.write(Protocol::buildHeader(FileName, quint64(source.size), source.md5Hex));
    const qint64 contentsAt = out.pos();
    QByteArray block;
    for (qint64 at = 0; at < source.size; at += block.size()) {
        block = in.read(1 << 20);
        if (block.isEmpty())
            return false;
        if (block.count('\0') == block.size())
            out.seek(contentsAt + at + block.size());
        else if (!out.seek(contentsAt + at) || out.write(block) != block.size())
            return false;
    }
    return out.seek(contentsAt + source.size) &&
           out.write(Protocol::endMarker()) == Protocol::endMarker().size();
}

struct SendRun
{
    double seconds = -1;
    double cpuSeconds = -1; // of the sender, while the stand-in received
    QString failure;
};

// Runs until the stand-in has checked the file; cpu() tells the sender's
// CPU seconds so far.
SendRun timeReception(StandInProcess &standIn, const Source &source,
                      const std::function<double()> &cpu)
{
    const qint64 timeoutMs = source.size / 5000 + 60000; // at 5 MB/s
    if (standIn.waitForLine(QStringLiteral("receiving ") + FileName, int(timeoutMs)).isNull())
        return {-1, -1, QStringLiteral("the stand-in began no file")};
    const qint64 startNs = Measure::nowNs();
    const double cpuBefore = cpu();
    const QString failure = checkStored(standIn, FileName, timeoutMs);
    if (!failure.isEmpty())
        return {-1, -1, failure};
    return {(Measure::nowNs() - startNs) / 1e9, cpu() - cpuBefore, QString()};
}

// The bytes written by each report's time, taken in the worker's thread.
using WriteSamples = std::vector<std::pair<qint64, quint64>>;

SendRun sendByWorker(Context &context, const Source &source, const SendPace &pace,
                     WriteSamples *samples = nullptr)
{
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, {}))
        return {-1, -1, QStringLiteral("the stand-in did not start")};
    CodeClock codes;
    Worker worker(Defaults::BufferSize);
    worker.thread.sendPace.set(pace);
    if (!worker.connectTo(standIn))
        return {-1, -1, QStringLiteral("no connection")};
    watchSend(&worker.thread, codes);
    if (samples)
        QObject::connect(
            &worker.thread, &sendThread::sendEvent, &worker.thread,
            [samples](const SendEvent &event) {
                if (event.code == TransProgress)
                    samples->emplace_back(Measure::nowNs(), event.bytesWritten);
            },
            Qt::DirectConnection);
    worker.sendFile(source.path);
    SendRun run = timeReception(standIn, source, [] { return Measure::cpuSeconds(); });
    Measure::waitUntil([&codes] { return codes.endCode >= 0; }, WaitMs);
    if (run.failure.isEmpty() && codes.endCode != TransDone)
        run = {-1, -1, QStringLiteral("end code %1").arg(codes.endCode)};
    return run;
}

// The lowest and highest MB/s over any second of the samples.
std::pair<double, double> rateRange(const WriteSamples &samples)
{
    double lowest = -1;
    double highest = -1;
    for (size_t first = 0, end = 0; first < samples.size(); ++first) {
        while (end < samples.size() && samples[end].first - samples[first].first < 1000000000)
            ++end;
        if (end == samples.size())
            break;
        const double rate = double(samples[end].second - samples[first].second) * 1e3 /
                            double(samples[end].first - samples[first].first);
        lowest = lowest < 0 ? rate : qMin(lowest, rate);
        highest = qMax(highest, rate);
    }
    return {lowest, highest};
}

SendRun sendByCli(Context &context, const Source &source, const SendPace &pace)
{
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, {}))
        return {-1, -1, QStringLiteral("the stand-in did not start")};
    Measure::ChildProcess cli;
    cli.start(QStringLiteral(KVR_TRANSFER),
              {QStringLiteral("send"), source.path, QStringLiteral("--to"),
               QStringLiteral("127.0.0.1"), QStringLiteral("--pace"), pace.toString(),
               QStringLiteral("--no-history")});
    SendRun run = timeReception(standIn, source, [] { return 0.0; });
    if (!cli.waitForFinished(WaitMs) || cli.exitCode() != 0)
        run = {-1, -1,
               QStringLiteral("kvr-transfer: ") +
                   QString::fromUtf8(cli.readAllStandardError()).trimmed()};
    return run;
}

// socat writes the framed stream as fast as the link takes it.
SendRun sendBySocat(Context &context, const Source &source)
{
    const QString framed = context.freshDir(QStringLiteral("framed")) + QStringLiteral("/stream");
    if (!writeFramed(source, framed))
        return {-1, -1, QStringLiteral("cannot write the framed stream")};
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, {}))
        return {-1, -1, QStringLiteral("the stand-in did not start")};
    Measure::ChildProcess socat;
    socat.start(QStringLiteral("socat"), {QStringLiteral("-u"), QStringLiteral("OPEN:") + framed,
                                          QStringLiteral("TCP:127.0.0.1:8080")});
    // Its CPU as last seen before it ended: all of its run, but for the
    // last 5 ms at most.
    const qint64 pid = socat.processId();
    std::atomic<double> cpu{0};
    Measure::Ticker sampler(
        5, [pid, &cpu] { cpu = qMax(cpu.load(), Measure::processCpuSeconds(pid)); });
    SendRun run = timeReception(standIn, source, [] { return 0.0; });
    sampler.stop();
    run.cpuSeconds = cpu;
    QFile::remove(framed);
    return run;
}

QString sendFailure(const QList<SendRun> &runs)
{
    for (const SendRun &run : runs) {
        if (!run.failure.isEmpty())
            return run.failure;
    }
    return QString();
}

// kvr-transfer and the worker at full pace against socat, the runs
// alternating; CPU per byte of the worker's process, all its threads,
// against socat's; a cap of 20 MB/s.
QList<Row> paceRows(Context &context)
{
    const QString cli = QStringLiteral("send, kvr-transfer, full pace, 1 Gbit/s (MB/s)");
    const QString socatRate = QStringLiteral("socat MB/s");
    const ShapedLoopback link;
    if (!link.isValid())
        return {failed(cli, socatRate, QStringLiteral("tc cannot shape lo"))};
    const Source &source = context.source();
    const double megabytes = source.size / 1e6;
    std::vector<double> cliRates, workerRates, socatRates, workerNs, socatNs;
    for (int repeat = 0; repeat < context.options.repeats; ++repeat) {
        const SendRun byCli = sendByCli(context, source, SendPace::full());
        const SendRun bySocat = sendBySocat(context, source);
        const SendRun byWorker = sendByWorker(context, source, SendPace::full());
        const QString failure = sendFailure({byCli, bySocat, byWorker});
        if (!failure.isEmpty())
            return {failed(cli, socatRate, failure)};
        cliRates.push_back(megabytes / byCli.seconds);
        socatRates.push_back(megabytes / bySocat.seconds);
        workerRates.push_back(megabytes / byWorker.seconds);
        workerNs.push_back(byWorker.cpuSeconds * 1e9 / double(source.size));
        socatNs.push_back(bySocat.cpuSeconds * 1e9 / double(source.size));
    }
    const SendPace cap = SendPace::cap(20);
    WriteSamples samples;
    const SendRun capped = sendByWorker(context, source, cap, &samples);
    if (!capped.failure.isEmpty())
        return {failed(cli, socatRate, capped.failure)};
    const std::pair<double, double> range = rateRange(samples);
    const QString note = QStringLiteral("median of %1, %2 MiB, bufferSize %3")
                             .arg(context.options.repeats)
                             .arg(context.options.sizeMiB)
                             .arg(Defaults::BufferSize);
    return {{cli, Measure::median(cliRates), socatRate, Measure::median(socatRates), note},
            {QStringLiteral("send, worker, full pace, 1 Gbit/s (MB/s)"),
             Measure::median(workerRates), socatRate, Measure::median(socatRates), note},
            {QStringLiteral("send, worker, full pace: CPU ns per byte"), Measure::median(workerNs),
             QStringLiteral("socat ns/byte"), Measure::median(socatNs), note},
            {QStringLiteral("send, worker, cap 20 MB/s, 1 Gbit/s (MB/s)"),
             megabytes / capped.seconds, QStringLiteral("cap MB/s"), cap.capMBps,
             QStringLiteral("one run, %1 MiB, bufferSize %2, each second %3 to %4 MB/s")
                 .arg(context.options.sizeMiB)
                 .arg(Defaults::BufferSize)
                 .arg(number(range.first), number(range.second))}};
}

// A large file at each pace, as the window's worker sends it: seconds
// against what the pace allows (paced: a block per ms; a cap) or socat's.
QList<Row> largeFileRows(Context &context)
{
    const QString what = QStringLiteral("send %1 MiB, worker, ").arg(context.options.largeMiB);
    const ShapedLoopback link;
    if (!link.isValid())
        return {failed(what, QString(), QStringLiteral("tc cannot shape lo"))};
    Source source;
    source.path = context.freshDir(QStringLiteral("large")) + QLatin1Char('/') + FileName;
    source.size = context.options.largeMiB * 1048576;
    QFile file(source.path);
    // Sparse: zeros that take neither disk nor time to write.
    if (!file.open(QIODevice::WriteOnly) || !file.resize(source.size))
        return {failed(what, QString(), QStringLiteral("cannot write %1").arg(source.path))};
    file.close();
    source.md5Hex = md5OfFile(source.path);
    const double megabytes = source.size / 1e6;
    const auto row = [&what, megabytes](const QString &pace, const SendRun &run,
                                        const QString &name, double reference) {
        if (!run.failure.isEmpty())
            return failed(what + pace, name, run.failure);
        return Row{what + pace, run.seconds, name, reference,
                   QStringLiteral("one run, %1 MB/s, bufferSize %2")
                       .arg(number(megabytes / run.seconds))
                       .arg(Defaults::BufferSize)};
    };
    const SendRun paced = sendByWorker(context, source, SendPace());
    const SendRun full = sendByWorker(context, source, SendPace::full());
    const SendRun bySocat = sendBySocat(context, source);
    const SendRun capped = sendByWorker(context, source, SendPace::cap(20));
    QFile::remove(source.path);
    return {row(QStringLiteral("paced (s)"), paced, QStringLiteral("ceiling s"),
                megabytes / (Defaults::BufferSize / 1e3)),
            row(QStringLiteral("full pace (s)"), full, QStringLiteral("socat s"),
                bySocat.failure.isEmpty() ? bySocat.seconds : -1),
            row(QStringLiteral("cap 20 MB/s (s)"), capped, QStringLiteral("at the cap s"),
                megabytes / 20)};
}

// ---- Memory against a slow peer --------------------------------------------

Row memorySendRow(Context &context, const SendPace &pace = SendPace())
{
    const QString what = QStringLiteral("peak MiB above idle, send to slow reader") +
                         (pace == SendPace() ? QString() : QStringLiteral(", full pace"));
    const QString idle = QStringLiteral("idle RSS MiB");
    const qint64 readRate = 16000000;
    const QString path = context.freshDir(QStringLiteral("send")) + QStringLiteral("/slow.bin");
    QFile file(path);
    // Sparse: zeros that take neither disk nor time to write.
    if (!file.open(QIODevice::WriteOnly) || !file.resize(context.options.slowMiB * 1048576))
        return failed(what, idle, QStringLiteral("cannot write %1").arg(path));
    file.close();
    StandInProcess standIn(WaitMs);
    CodeClock codes;
    if (!startStandIn(standIn, context, {QStringLiteral("--read-rate"), QString::number(readRate)}))
        return failed(what, idle, QStringLiteral("the stand-in did not start"));
    Worker worker(65536);
    worker.thread.sendPace.set(pace);
    if (!worker.connectTo(standIn))
        return failed(what, idle, QStringLiteral("no connection"));
    watchSend(&worker.thread, codes);
    malloc_trim(0);
    Measure::PeakRss rss;
    worker.sendFile(path);
    Measure::waitUntil([&codes] { return codes.endCode >= 0; },
                       context.options.slowMiB * 1048576 * 3000 / readRate + 60000);
    const double above = rss.aboveIdleMiB();
    const QString failure = codes.endCode == TransDone
                                ? checkStored(standIn, QStringLiteral("slow.bin"))
                                : QStringLiteral("end code %1").arg(codes.endCode);
    if (!failure.isEmpty())
        return failed(what, idle, failure);
    return {what, above, idle, rss.idleMiB(),
            QStringLiteral("%1 MiB, reader %2 MB/s, bufferSize 65536")
                .arg(context.options.slowMiB)
                .arg(readRate / 1e6)};
}

Row memoryReceiveRow(Context &context)
{
    const QString what = QStringLiteral("peak MiB above idle, receive to slow disk");
    const QString idle = QStringLiteral("idle RSS MiB");
    const double diskRate = 64e6;
    const Source &source = context.source();
    const QString inbox = context.freshDir(QStringLiteral("inbox"));
    saveFilePath.set(inbox);
    StandInProcess standIn(WaitMs);
    CodeClock codes;
    if (!startStandIn(standIn, context, sendArguments(source, true)))
        return failed(what, idle, QStringLiteral("the stand-in did not start"));
    Worker worker(65536, throttledDisk(diskRate));
    watchReceive(&worker.thread, codes);
    malloc_trim(0);
    Measure::PeakRss rss;
    worker.command(CmdConnect);
    Measure::waitUntil([&codes] { return codes.endCode >= 0; },
                       qint64(source.size * 3000 / diskRate) + 60000);
    const double above = rss.aboveIdleMiB();
    const Timed received = checkReceived(codes, codes.endNs, inbox, source);
    if (!received.failure.isEmpty())
        return failed(what, idle, received.failure);
    return {what, above, idle, rss.idleMiB(),
            QStringLiteral("%1 MiB, disk %2 MB/s, bufferSize 65536")
                .arg(context.options.sizeMiB)
                .arg(diskRate / 1e6)};
}

// ---- Idle CPU ---------------------------------------------------------------

Row idleCpuRow(Context &context)
{
    const QString what = QStringLiteral("CPU % of a core, connected idle worker");
    const QString reference = QStringLiteral("idle stand-in %");
    StandInProcess standIn(WaitMs);
    if (!startStandIn(standIn, context, {}))
        return failed(what, reference, QStringLiteral("the stand-in did not start"));
    Worker worker(Defaults::BufferSize);
    if (!worker.connectTo(standIn))
        return failed(what, reference, QStringLiteral("no connection"));
    Measure::settle(500);
    const qint64 pid = standIn.process().processId();
    const double before = Measure::cpuSeconds();
    const double standInBefore = Measure::processCpuSeconds(pid);
    // Nothing here needs this thread meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(context.options.idleSeconds));
    const double share = 100.0 / context.options.idleSeconds;
    return {what, (Measure::cpuSeconds() - before) * share, reference,
            (Measure::processCpuSeconds(pid) - standInBefore) * share,
            QStringLiteral("%1 s, all threads of each").arg(context.options.idleSeconds)};
}

// ---- The window's log under a flood of controller text --------------------
// socat sends the text, then one small file, and stays connected. While the
// GUI thread is behind on the worker's reports, the worker leaves the socket
// unread and TCP holds socat back.

const QByteArray FloodFile = "the file after the flood\n";

// The script socat runs: the text, the file, then quiet until stopped.
bool writeFloodScript(const QString &script, qint64 bytes, bool lineBreaks)
{
    const QString stream = script + QStringLiteral(".stream");
    const QByteArray line = "controller log: axis 3 at 1024.5 mm, state RUN, temperature 41.5 C";
    const QByteArray joiner = lineBreaks ? "" : " | tr '\\n' ' '";
    return TestFiles::writeFile(stream,
                                TestFiles::framed(QStringLiteral("after-flood.txt"), FloodFile)) &&
           TestFiles::writeFile(script, "yes '" + line + "'" + joiner + " | head -c " +
                                            QByteArray::number(bytes) + "\ncat '" +
                                            QFile::encodeName(stream) + "'\nexec sleep 3600\n");
}

bool fileLogged(const MainWindow &window)
{
    return WindowTest::logText(window).contains(WindowTest::utf8("接收完成!\n文件接收大小:") +
                                                QString::number(FloodFile.size()));
}

struct Flood
{
    double seconds = 0;
    double aboveIdleMiB = 0;
    double idleMiB = 0;
    std::vector<double> latencyMs;
    bool fileLogged = false;
    QString failure;
};

Flood flood(Context &context, bool lineBreaks)
{
    Flood result;
    const QString script = context.root() + QStringLiteral("/flood.sh");
    if (!writeFloodScript(script, context.options.floodMiB * 1048576, lineBreaks))
        return {0, 0, 0, {}, false, QStringLiteral("cannot write %1").arg(script)};
    const WindowSettings settings(context.freshDir(QStringLiteral("inbox")));
    Measure::ChildProcess socat;
    MainWindow window;
    if (!waitRefused(window))
        return {0, 0, 0, {}, false, QStringLiteral("the first connection attempt did not end")};
    socat.start(QStringLiteral("socat"),
                {QStringLiteral("-U"), QStringLiteral("TCP-LISTEN:8080,bind=127.0.0.1,reuseaddr"),
                 QStringLiteral("EXEC:sh ") + script});
    if (!Measure::waitUntil([] { return Measure::listening(8080); }, WaitMs))
        return {0, 0, 0, {}, false, QStringLiteral("socat does not listen")};
    bool fileDone = false;
    QObject gui; // queued after the window's own slot
    QObject::connect(window.worker(), &sendThread::sendRecState, &gui,
                     [&fileDone](int code) { fileDone = fileDone || code == RecDone; });
    malloc_trim(0);
    Measure::settle(300);
    Measure::PeakRss rss;
    Measure::GuiLatency latency;
    const qint64 startNs = Measure::nowNs();
    connectWindow(window);
    if (!Measure::waitUntil([&fileDone] { return fileDone; }, 600000))
        result.failure = QStringLiteral("the file after the flood did not come within 600 s");
    result.seconds = (Measure::nowNs() - startNs) / 1e9;
    result.latencyMs = latency.millisecondsWaited(WaitMs);
    result.aboveIdleMiB = rss.aboveIdleMiB();
    result.idleMiB = rss.idleMiB();
    result.fileLogged = fileLogged(window);
    return result;
}

QList<Row> floodRows(Context &context, bool lineBreaks)
{
    const QString what = lineBreaks ? QStringLiteral("log flood, text in lines: ")
                                    : QStringLiteral("log flood, text without breaks: ");
    const QString memory = what + QStringLiteral("peak MiB above idle");
    std::vector<double> idleMs;
    {
        Measure::GuiLatency probe;
        Measure::settle(1000);
        idleMs = probe.millisecondsWaited(1000);
    }
    const Flood result = flood(context, lineBreaks);
    if (!result.failure.isEmpty())
        return {failed(memory, QStringLiteral("idle RSS MiB"), result.failure)};
    const QString note =
        QStringLiteral("%1 MiB in %2 s, then the file's log lines %3")
            .arg(context.options.floodMiB)
            .arg(result.seconds, 0, 'f', 1)
            .arg(result.fileLogged ? QStringLiteral("shown") : QStringLiteral("MISSING"));
    return {
        {memory, result.aboveIdleMiB, QStringLiteral("idle RSS MiB"), result.idleMiB, note},
        {what + QStringLiteral("GUI latency p99 ms"), Measure::percentile(result.latencyMs, 99),
         QStringLiteral("idle p99 ms"), Measure::percentile(idleMs, 99),
         QStringLiteral("worst %1 ms").arg(number(Measure::percentile(result.latencyMs, 100)))}};
}

// ---- The transfer list's history ------------------------------------------
// A long history in the two files it rolls over between, as the writer
// makes it: a failure every tenth line, a quoted name every fiftieth.

constexpr int HistoryLines = 100000;

bool writeHistory(const QString &path, int first, int count)
{
    QByteArray text = HistoryFormat::head();
    const QDateTime start = QDateTime::currentDateTime().addDays(-30);
    for (int i = first; i < first + count; ++i) {
        const bool failed = i % 10 == 9;
        const QString name =
            i % 50 == 49 ? QStringLiteral("log,%1.bin") : QStringLiteral("log-%1.bin");
        TransferRecord record;
        record.endTime = start.addSecs(i);
        record.direction =
            failed ? TransferRecord::Direction::Receive : TransferRecord::Direction::Send;
        record.host = QStringLiteral("192.168.1.%1").arg(10 + i % 3);
        record.port = 8080;
        record.fileName = name.arg(i);
        record.bytes = quint64(i) * 977;
        record.md5Hex = failed ? QByteArray() : TestFiles::md5Hex(QByteArray::number(i));
        record.outcome = QLatin1String(failed ? TransferOutcome::Timeout : TransferOutcome::Done);
        record.ms = 1000 + i % 5000;
        text += HistoryFormat::lineOf(record);
    }
    return TestFiles::writeFile(path, text);
}

// The bare reading of the same bytes, cut into lines.
double readLinesMs(const QStringList &paths)
{
    QElapsedTimer timer;
    timer.start();
    qsizetype lines = 0;
    for (const QString &path : paths)
        lines += TestFiles::readFile(path).split('\n').size();
    return lines > 0 ? double(timer.nsecsElapsed()) / 1e6 : -1;
}

struct HistoryLoad
{
    double ms = -1;
    int rows = -1;
    int skipped = -1;
    int shown = 0; // in the tabs
    double aboveIdleMiB = 0;
    double idleMiB = 0;
    std::vector<double> latencyMs;
};

// From the call until the rows are in the model and its tabs, while the
// GUI thread is watched for how long it is held up.
HistoryLoad loadHistory(const QString &path)
{
    HistoryLoad load;
    malloc_trim(0);
    Measure::PeakRss rss;
    Measure::GuiLatency latency;
    TransferListModel model;
    QObject::connect(&model, &TransferListModel::historyLoaded,
                     [&load](int entries, int skipped, const QString &) {
                         load.rows = entries;
                         load.skipped = skipped;
                     });
    const qint64 startNs = Measure::nowNs();
    model.loadHistory(path, QDateTime());
    if (Measure::waitUntil([&load] { return load.rows >= 0; }, 60000))
        load.ms = double(Measure::nowNs() - startNs) / 1e6;
    load.latencyMs = latency.millisecondsWaited(WaitMs);
    load.aboveIdleMiB = rss.aboveIdleMiB();
    load.idleMiB = rss.idleMiB();
    load.shown = model.tab(TransferListModel::Tab::Done)->rowCount() +
                 model.tab(TransferListModel::Tab::Failed)->rowCount();
    return load;
}

QList<Row> historyRows(Context &context)
{
    const QString what = QStringLiteral("history %1 lines: ").arg(HistoryLines);
    const QString reference = QStringLiteral("read lines ms");
    const QString dir = context.freshDir(QStringLiteral("history"));
    const QStringList files{dir + QLatin1Char('/') + QLatin1String(TransferHistory::OldFileName),
                            dir + QLatin1Char('/') + QLatin1String(TransferHistory::FileName)};
    if (!writeHistory(files.at(0), 0, HistoryLines / 2) ||
        !writeHistory(files.at(1), HistoryLines / 2, HistoryLines - HistoryLines / 2))
        return {failed(what + QStringLiteral("ms in the list"), reference,
                       QStringLiteral("cannot write the history"))};
    const double referenceMs = readLinesMs(files);
    std::vector<double> idleMs;
    {
        Measure::GuiLatency probe;
        Measure::settle(500);
        idleMs = probe.millisecondsWaited(1000);
    }
    const HistoryLoad load = loadHistory(files.at(1));
    if (load.ms < 0)
        return {failed(what + QStringLiteral("ms in the list"), reference,
                       QStringLiteral("the history did not load within 60 s"))};
    const QString note =
        QStringLiteral("%1 rows in the tabs, %2 skipped, files of %3 MiB")
            .arg(load.shown)
            .arg(load.skipped)
            .arg(double(sizeOf(files.at(0)) + sizeOf(files.at(1))) / 1048576.0, 0, 'f', 1);
    return {{what + QStringLiteral("ms in the list"), load.ms, reference, referenceMs, note},
            {what + QStringLiteral("peak MiB above idle"), load.aboveIdleMiB,
             QStringLiteral("idle RSS MiB"), load.idleMiB, QString()},
            {what + QStringLiteral("GUI latency p99 ms"), Measure::percentile(load.latencyMs, 99),
             QStringLiteral("idle p99 ms"), Measure::percentile(idleMs, 99),
             QStringLiteral("worst %1 ms").arg(number(Measure::percentile(load.latencyMs, 100)))}};
}

// ---- The rows and the command line -----------------------------------------

struct Measurement
{
    const char *name;
    std::function<QList<Row>(Context &)> run;
};

const QList<Measurement> &measurements()
{
    static const QList<Measurement> all{
        {"receive-worker-md5",
         [](Context &c) {
             return receiveRows(c, QStringLiteral("receive, worker, MD5 (MB/s)"), receiveByWorker,
                                true);
         }},
        {"receive-worker-no-md5",
         [](Context &c) {
             return receiveRows(c, QStringLiteral("receive, worker, no MD5 (MB/s)"),
                                receiveByWorker, false);
         }},
        {"receive-cli-md5",
         [](Context &c) {
             return receiveRows(c, QStringLiteral("receive, kvr-transfer, MD5 (MB/s)"),
                                receiveByCli, true);
         }},
        {"receive-digest", [](Context &c) { return digestRows(c); }},
        {"receive-window-md5",
         [](Context &c) {
             return receiveRows(c, QStringLiteral("receive, window, MD5 (MB/s)"), receiveByWindow,
                                true);
         }},
        {"receive-window-no-md5",
         [](Context &c) {
             return receiveRows(c, QStringLiteral("receive, window, no MD5 (MB/s)"),
                                receiveByWindow, false);
         }},
        {"send-12000", [](Context &c) { return sendRows(c, 12000); }},
        {"send-65536", [](Context &c) { return sendRows(c, 65536); }},
        {"memory-send", [](Context &c) { return QList<Row>{memorySendRow(c)}; }},
        {"memory-receive", [](Context &c) { return QList<Row>{memoryReceiveRow(c)}; }},
        {"idle-cpu", [](Context &c) { return QList<Row>{idleCpuRow(c)}; }},
        {"flood-lines", [](Context &c) { return floodRows(c, true); }},
        {"flood-no-lines", [](Context &c) { return floodRows(c, false); }},
        {"history-100000", [](Context &c) { return historyRows(c); }},
        {"pace-full", [](Context &c) { return paceRows(c); }},
        {"pace-memory", [](Context &c) { return QList<Row>{memorySendRow(c, SendPace::full())}; }},
        {"pace-large", [](Context &c) { return largeFileRows(c); }},
        // The transfer list open, against it closed.
        {"list-receive-md5",
         [](Context &c) {
             return receiveRows(
                 c, QStringLiteral("receive, window, MD5, list open (MB/s)"),
                 [](Context &c, bool withMd5) { return receiveByWindow(c, withMd5, true); }, true,
                 QStringLiteral("list closed MB/s"), receiveByWindow);
         }},
    };
    return all;
}

bool selected(const char *name, const QStringList &only)
{
    return only.isEmpty() || std::any_of(only.cbegin(), only.cend(), [name](const QString &prefix) {
               return QString::fromLatin1(name).startsWith(prefix);
           });
}

struct Command
{
    Options options;
    QStringList only;
    bool list = false;
};

Command parse(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The benchmark table of kvr-file-transfer."));
    parser.addHelpOption();
    const Options defaults;
    const auto option = [&parser](const char *name, const char *help, auto fallback) {
        QCommandLineOption o(QString::fromLatin1(name),
                             QString::fromLatin1(help) +
                                 QStringLiteral(" Default %1.").arg(fallback),
                             QStringLiteral("value"), QString::number(fallback));
        parser.addOption(o);
        return o;
    };
    const QCommandLineOption list(QStringLiteral("list"), QStringLiteral("Name the rows."));
    const QCommandLineOption only(QStringLiteral("only"),
                                  QStringLiteral("Rows to run, by name prefix."),
                                  QStringLiteral("names"));
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("Temporary files here."),
                                 QStringLiteral("dir"), QDir::tempPath());
    parser.addOptions({list, only, dir});
    const auto size = option("size", "MiB the stand-in sends.", defaults.sizeMiB);
    const auto repeats = option("repeats", "Receive runs per row.", defaults.repeats);
    const auto sendSeconds =
        option("send-seconds", "Seconds per send at the ceiling.", defaults.sendSeconds);
    const auto slow = option("slow-mib", "MiB sent to the slow reader.", defaults.slowMiB);
    const auto idle = option("idle-seconds", "Seconds of idle CPU.", defaults.idleSeconds);
    const auto floodMiB = option("flood-mib", "MiB of controller text.", defaults.floodMiB);
    const auto largeMiB =
        option("large-mib", "MiB of the file sent at each pace.", defaults.largeMiB);
    parser.process(app);
    const auto value = [&parser](const QCommandLineOption &o, qint64 low, qint64 high) {
        return qBound(low, parser.value(o).toLongLong(), high);
    };
    Command command;
    command.list = parser.isSet(list);
    command.only = parser.value(only).split(QLatin1Char(','), Qt::SkipEmptyParts);
    command.options.baseDirectory = parser.value(dir);
    command.options.sizeMiB = value(size, 1, 8192);
    command.options.repeats = int(value(repeats, 1, 20));
    command.options.sendSeconds = int(value(sendSeconds, 1, 60));
    command.options.slowMiB = value(slow, 1, 8192);
    command.options.idleSeconds = int(value(idle, 1, 600));
    command.options.floodMiB = value(floodMiB, 1, 65536);
    command.options.largeMiB = value(largeMiB, 1, 65536);
    return command;
}

} // namespace

int main(int argc, char *argv[])
{
    // The window is measured, never looked at.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // The engine logs every digest it takes; that would bury the table.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    static const QtMessageHandler toolkits = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            // The offscreen platform's word on each window that is raised.
            if (!message.startsWith(QLatin1String("This plugin does not support")))
                toolkits(type, context, message);
        });
    const Command command = parse(app);
    if (command.list) {
        for (const Measurement &m : measurements())
            std::printf("%s\n", m.name);
        return 0;
    }
    if (qgetenv("KVR_IN_NETNS") != "1") {
        std::fprintf(stderr, "run it through scripts/netns-run (it uses 127.0.0.1:8080)\n");
        return 2;
    }
    Context context(command.options);
    if (!context.isValid())
        return 1;
    printHeader();
    bool allOk = true;
    for (const Measurement &m : measurements()) {
        if (!selected(m.name, command.only))
            continue;
        const QList<Row> rows = m.run(context);
        for (const Row &row : rows) {
            printRow(row);
            allOk = allOk && row.figure >= 0;
        }
    }
    return allOk ? 0 : 1;
}
