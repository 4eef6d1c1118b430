// The main window during real transfers, beside the network worker alone.
// The window takes one queued code per chunk received (RecProgress) and per
// block sent (TransProgress), each a division and a progress bar update: this
// shows whether that slows a transfer down, lets a backlog of codes build up
// in the GUI thread, or lets memory grow.
//
// Receive: the stand-in sends one file unpaced (--send FILE --no-pace) when
// the window connects (on_act_connect_triggered, after bufferSize is set in
// its spin box and a disconnect has given the socket a read buffer of that
// size, as the bare worker's has); the same with the bare worker
// (CmdConnect). Send: the window sends the same file to the stand-in on a
// click of fileTransmitBtn; the same with the bare worker (CmdSendFile).
// Both read against the moment the main thread has handled the end code:
// the window's own slot, or for the bare worker a counter, so the
// difference is what the window costs.
//
// The window reads settings.ini beside this executable when it is built;
// the benchmark writes it (controller 127.0.0.1) and removes it at the end.
// Run it only through scripts/netns-run, like the window tests.
//
// Usage: bench_window [--size MiB] [--buffer BYTES] [--repeats N]
//                     [--send-repeats N] [--dir DIR] [--only receive|send]
// Defaults: 256 MiB received and sent, bufferSize 12000 and 65536, receives
// repeated 3 times (with medians), sends once, in a temporary directory
// under the system's, receives and sends. The default run takes about a
// minute and a half, most of it the two paced sends at bufferSize 12000.

#include "app/mainwindow.h"
#include "benchsupport.h"
#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "transfer/receivethread.h"
#include "transfer/sharedvalues.h"

#include <QAbstractSocket>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTextEdit>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <thread>
#include <vector>

namespace {

const QString FileName = QStringLiteral("window-bench.bin");

struct Settings
{
    qint64 sizeMiB = 256;
    int receiveRepeats = 3;
    int sendRepeats = 1;
    QList<int> bufferSizes;
    QString baseDirectory;
    QString only; // "receive" or "send"; empty for both
};

// The codes of one kind of transfer, as the worker emits them.
struct Codes
{
    int start;
    int progress;
    QList<int> ends;
};

const Codes ReceiveCodes{
    RecStarted, RecProgress, {RecDone, RecTimeout, RecMd5Mismatch, RecWriteFailed}};
const Codes SendCodes{
    TransStarted,
    TransProgress,
    {TransDone, TransAborted, TransDisconnected, TransOpenFailed, TransReadFailed}};

// Filled as the worker emits its codes (in the emitting thread) and as the
// main thread handles them, after the window when there is one.
struct CodeWatch
{
    QElapsedTimer clock;
    std::atomic<qint64> startNs{-1};
    std::atomic<qint64> endNs{-1};
    std::atomic<int> endCode{-1};
    std::atomic<int> progress{0};
    std::atomic<int> emitted{0};
    std::atomic<int> handled{0};
    std::atomic<qint64> handledEndNs{-1};
    std::atomic<int> handledEndCode{-1};

    void onEmitted(const Codes &codes, int code)
    {
        const qint64 now = clock.nsecsElapsed();
        ++emitted;
        if (code == codes.start) {
            startNs = now;
        } else if (code == codes.progress) {
            ++progress;
        } else if (codes.ends.contains(code)) {
            endNs = now;
            endCode = code;
        }
    }
    void onHandled(const Codes &codes, int code)
    {
        ++handled;
        if (codes.ends.contains(code)) {
            handledEndNs = clock.nsecsElapsed();
            handledEndCode = code;
        }
    }
};

// VmRSS and the main thread's backlog of codes, sampled in a thread of its
// own: the main thread is the one under test.
class Sampler
{
public:
    Sampler(Bench::RssSampler &rss, const CodeWatch &watch)
        : m_thread([this, &rss, &watch] { loop(rss, watch); })
    {}
    ~Sampler() { stop(); }
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int maxQueued() const { return m_maxQueued.load(); }

private:
    void loop(Bench::RssSampler &rss, const CodeWatch &watch)
    {
        while (!m_stop) {
            rss.sample();
            m_maxQueued = qMax(m_maxQueued.load(), watch.emitted.load() - watch.handled.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_maxQueued{0};
    std::thread m_thread;
};

// Seconds from the trigger; -1 when the event did not happen.
struct Measurement
{
    bool ended = false;
    int endCode = -1;
    double startS = -1;
    double endS = -1;
    double handledS = -1;
    int progress = 0;
    int maxQueued = 0;
    qint64 peakKiB = 0;        // over idle
    qint64 endKiB = 0;         // over idle, once the end code is handled
    qint64 engineQueueKiB = 0; // the receive engine's peak queue
    double mainCpu = 0;
    double processCpu = 0;
};

struct Row
{
    const char *transfer;
    const char *runner;
    int bufferSize;
    Measurement m;
    QString failure; // empty when the file arrived whole
};

double seconds(qint64 ns)
{
    return ns < 0 ? -1 : ns / 1e9;
}

// Runs this thread's events for about ms milliseconds.
void settle(int ms)
{
    QElapsedTimer waited;
    waited.start();
    Bench::waitUntil([&waited, ms] { return waited.elapsed() >= ms; }, ms + 1000);
}

// Times one transfer from trigger() to the main thread having handled its
// end code. The queued connection is made after the window's, so its slot
// runs right after the window has handled the same code.
Measurement measure(sendThread *worker, void (sendThread::*signal)(int), const Codes &codes,
                    const std::function<void()> &trigger, qint64 timeoutMs)
{
    CodeWatch watch;
    watch.clock.start();
    QObject mainThread;
    QObject::connect(
        worker, signal, &mainThread, [&watch, &codes](int code) { watch.onEmitted(codes, code); },
        Qt::DirectConnection);
    QObject::connect(worker, signal, &mainThread,
                     [&watch, &codes](int code) { watch.onHandled(codes, code); });

    // Freed memory of the runs before must not hide this run's growth.
    malloc_trim(0);
    Bench::RssSampler rss;
    rss.start();
    Sampler sampler(rss, watch);
    const double mainCpuBefore = Bench::cpuSeconds(RUSAGE_THREAD);
    const double processCpuBefore = Bench::cpuSeconds(RUSAGE_SELF);
    watch.clock.restart();
    trigger();
    Measurement m;
    m.ended = Bench::waitUntil([&watch] { return watch.handledEndCode >= 0; }, timeoutMs, 50);
    m.mainCpu = Bench::cpuSeconds(RUSAGE_THREAD) - mainCpuBefore;
    m.processCpu = Bench::cpuSeconds(RUSAGE_SELF) - processCpuBefore;
    sampler.stop();
    m.endKiB = Bench::statusKiB("VmRSS") - rss.idleKiB;
    m.peakKiB = rss.peakKiB - rss.idleKiB;
    m.maxQueued = sampler.maxQueued();
    m.endCode = watch.endCode;
    m.startS = seconds(watch.startNs);
    m.endS = seconds(watch.endNs);
    m.handledS = seconds(watch.handledEndNs);
    m.progress = watch.progress;
    m.engineQueueKiB = worker->recThread->peakQueuedBytes() / 1024;
    return m;
}

QString checkArrived(const QString &source, const QString &arrived)
{
    const qint64 size = Bench::sizeOf(source);
    if (Bench::sizeOf(arrived) != size)
        return QStringLiteral("%1 has %2 bytes of %3")
            .arg(arrived)
            .arg(Bench::sizeOf(arrived))
            .arg(size);
    if (!Bench::sameBytes(source, 0, arrived, 0, size))
        return QStringLiteral("%1 differs from the file sent").arg(arrived);
    return QString();
}

QString checkEnd(const Measurement &m, int doneCode)
{
    if (!m.ended)
        return QStringLiteral("the main thread did not handle an end code in time");
    if (m.endCode != doneCode)
        return QStringLiteral("end code %1").arg(m.endCode);
    return QString();
}

void writeWindowSettings(const QString &receiveDirectory)
{
    const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
    QFile::remove(path);
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(QStringLiteral("saveFilePath"), receiveDirectory);
    settings.setValue(QStringLiteral("socketType"), QStringLiteral("client"));
    settings.setValue(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
}

// The window writes settings.ini on closing; nothing of it stays behind.
struct SettingsFileRemover
{
    ~SettingsFileRemover()
    {
        QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini"));
    }
};

bool logHas(const MainWindow &window, const char *line)
{
    return window.findChild<QTextEdit *>(QStringLiteral("textEdit"))
        ->toPlainText()
        .contains(QString::fromUtf8(line));
}

QStringList standInSendOptions(const QString &path)
{
    return {QStringLiteral("--send"), path, QStringLiteral("--no-pace")};
}

// The socket's read buffer is sized from bufferSize when it is made: a
// disconnect while unconnected makes a new one, as the bare worker does.
QString prepareWindowReceive(MainWindow &window, int bufferSize, const QString &target)
{
    auto *connectAction = window.findChild<QAction *>(QStringLiteral("act_connect"));
    // Nobody listens yet: the connection tried at construction is refused,
    // which enables the connect action again.
    if (!Bench::waitUntil([connectAction] { return connectAction->isEnabled(); }, 10000))
        return QStringLiteral("the first connection attempt did not end");
    window.findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"))->setValue(bufferSize);
    QMetaObject::invokeMethod(&window, "on_act_disconnect_triggered");
    if (saveFilePath.get() != target)
        return QStringLiteral("the window receives into %1").arg(saveFilePath.get());
    return QString();
}

Row receiveThroughWindow(const QString &source, int bufferSize, const QString &directory)
{
    Row row{"receive", "window", bufferSize, {}, {}};
    const QString target = directory + QStringLiteral("/window");
    QDir().mkpath(target);
    writeWindowSettings(target);
    Bench::StandIn standIn;
    {
        MainWindow window;
        window.show();
        row.failure = prepareWindowReceive(window, bufferSize, target);
        if (row.failure.isEmpty() &&
            !standIn.start(directory + QStringLiteral("/controller"), standInSendOptions(source)))
            row.failure = QStringLiteral("the stand-in did not start");
        if (!row.failure.isEmpty())
            return row;
        settle(200);
        row.m = measure(
            window.worker(), &sendThread::sendRecState, ReceiveCodes,
            [&window] { QMetaObject::invokeMethod(&window, "on_act_connect_triggered"); }, 300000);
        row.failure = checkEnd(row.m, RecDone);
        if (row.failure.isEmpty() && !logHas(window, "接收完成!"))
            row.failure = QStringLiteral("the log has no line for the completed reception");
    }
    standIn.stop();
    const QString arrived = target + QLatin1Char('/') + FileName;
    if (row.failure.isEmpty())
        row.failure = checkArrived(source, arrived);
    QFile::remove(arrived);
    return row;
}

Row receiveThroughWorker(const QString &source, int bufferSize, const QString &directory)
{
    Row row{"receive", "worker", bufferSize, {}, {}};
    const QString target = directory + QStringLiteral("/worker");
    QDir().mkpath(target);
    saveFilePath.set(target);
    Bench::StandIn standIn;
    if (!standIn.start(directory + QStringLiteral("/controller"), standInSendOptions(source))) {
        row.failure = QStringLiteral("the stand-in did not start");
        return row;
    }
    {
        Bench::RunningWorker running(bufferSize);
        settle(200);
        row.m = measure(
            &running.worker, &sendThread::sendRecState, ReceiveCodes,
            [&running] { running.command(CmdConnect); }, 300000);
        row.failure = checkEnd(row.m, RecDone);
    }
    standIn.stop();
    const QString arrived = target + QLatin1Char('/') + FileName;
    if (row.failure.isEmpty())
        row.failure = checkArrived(source, arrived);
    QFile::remove(arrived);
    return row;
}

qint64 sendTimeoutMs(const QString &source, int bufferSize)
{
    return Bench::sizeOf(source) / bufferSize * 20 + 60000;
}

bool waitConnected(const sendThread &worker, Bench::StandIn &standIn)
{
    return Bench::waitUntil(
               [&worker] { return worker.clientState() == QAbstractSocket::ConnectedState; },
               10000) &&
           standIn.waitForLine(QStringLiteral("connected 127.0.0.1"), 10000);
}

// The stand-in checks the MD5 the stream announces; the bytes are compared
// here as well.
QString checkSent(const QString &source, const QString &controllerDirectory,
                  Bench::StandIn &standIn)
{
    const QString received = QStringLiteral("file received: ") + FileName;
    if (!standIn.waitForLine(received, 60000))
        return QStringLiteral("the stand-in did not store the file");
    const QStringList lines = standIn.lines();
    for (const QString &line : lines) {
        if (line.startsWith(received) && !line.endsWith(QStringLiteral("MD5 ok")))
            return QStringLiteral("stand-in: %1").arg(line);
    }
    return checkArrived(source, controllerDirectory + QLatin1Char('/') + FileName);
}

Row sendThroughWindow(const QString &source, int bufferSize, const QString &directory)
{
    Row row{"send", "window", bufferSize, {}, {}};
    const QString controller = directory + QStringLiteral("/controller");
    QFile::remove(controller + QLatin1Char('/') + FileName);
    Bench::StandIn standIn;
    if (!standIn.start(controller, {})) {
        row.failure = QStringLiteral("the stand-in did not start");
        return row;
    }
    writeWindowSettings(directory + QStringLiteral("/window"));
    {
        MainWindow window;
        window.show();
        if (!waitConnected(*window.worker(), standIn)) {
            row.failure = QStringLiteral("the window did not connect");
            return row;
        }
        window.findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"))->setValue(bufferSize);
        droppedFilePath = source;
        auto *button = window.findChild<QPushButton *>(QStringLiteral("fileTransmitBtn"));
        settle(200);
        row.m = measure(
            window.worker(), &sendThread::sendTransState, SendCodes, [button] { button->click(); },
            sendTimeoutMs(source, bufferSize));
        row.failure = checkEnd(row.m, TransDone);
        if (row.failure.isEmpty() && !logHas(window, "传送完成!"))
            row.failure = QStringLiteral("the log has no line for the completed send");
    }
    if (row.failure.isEmpty())
        row.failure = checkSent(source, controller, standIn);
    standIn.stop();
    QFile::remove(controller + QLatin1Char('/') + FileName);
    return row;
}

Row sendThroughWorker(const QString &source, int bufferSize, const QString &directory)
{
    Row row{"send", "worker", bufferSize, {}, {}};
    const QString controller = directory + QStringLiteral("/controller");
    QFile::remove(controller + QLatin1Char('/') + FileName);
    Bench::StandIn standIn;
    if (!standIn.start(controller, {})) {
        row.failure = QStringLiteral("the stand-in did not start");
        return row;
    }
    {
        Bench::RunningWorker running(bufferSize);
        sendThread &worker = running.worker;
        running.command(CmdConnect);
        if (!waitConnected(worker, standIn)) {
            row.failure = QStringLiteral("the worker did not connect");
            return row;
        }
        worker.currentDevice = worker.clientSocket.load();
        worker.sendLink = LinkClient;
        worker.filePath.set(source);
        settle(200);
        row.m = measure(
            &worker, &sendThread::sendTransState, SendCodes,
            [&running] { running.command(CmdSendFile); }, sendTimeoutMs(source, bufferSize));
        row.failure = checkEnd(row.m, TransDone);
    }
    if (row.failure.isEmpty())
        row.failure = checkSent(source, controller, standIn);
    standIn.stop();
    QFile::remove(controller + QLatin1Char('/') + FileName);
    return row;
}

void printLegend()
{
    std::printf(
        "end      : from the trigger (receive: on_act_connect_triggered or CmdConnect; send: a "
        "click\n"
        "           on fileTransmitBtn or CmdSendFile) to the end code as the worker emits it\n"
        "           (RecDone: the file complete on disk; TransDone: the last block written)\n"
        "MB/s*    : from the start code (RecStarted, TransStarted) to the end code, leaving out\n"
        "           the MD5 pass of the stand-in or of the sender before the first byte\n"
        "ceil%%    : MB/s* of a send against its pacing ceiling, one bufferSize block per ms\n"
        "handled  : the end code handled in the main thread (by the window, or for the bare\n"
        "           worker by a counter); lag = handled - end: the main thread's backlog\n"
        "progress : RecProgress or TransProgress codes emitted; max q: most codes emitted\n"
        "           and not yet handled by the main thread, sampled every 2 ms\n"
        "MiB      : VmRSS at its peak during the run and at its end, minus idle just before\n"
        "           the trigger; engineq: the receive engine's peak queue of chunks\n"
        "cpu s    : main (GUI) thread and whole process, from the trigger to the handled end\n"
        "file     : size and bytes compared with the source; sends also the stand-in's MD5\n");
}

void printHeader()
{
    std::printf("\n%-22s | %-30s | %-23s | %-15s | %-21s | %-11s |\n", "",
                "end, as the worker emits it", "handled in main thread", "codes", "MiB", "cpu s");
    std::printf("%-8s %-6s %6s | %7s %7s %7s %6s | %7s %7s %7s | %8s %6s | %6s %6s %7s | %5s %5s "
                "| %s\n",
                "transfer", "runner", "buffer", "s", "MB/s", "MB/s*", "ceil%", "s", "MB/s",
                "lag ms", "progress", "max q", "peak+", "end+", "engineq", "main", "proc", "file");
    std::fflush(stdout);
}

// "-" where a figure does not apply.
QString figure(bool applies, double value)
{
    return applies ? QString::number(value, 'f', 1) : QStringLiteral("-");
}

void printRow(const Row &row, qint64 size)
{
    const Measurement &m = row.m;
    const bool send = QLatin1String(row.transfer) == QLatin1String("send");
    const double fromStart = m.endS > m.startS && m.startS >= 0 ? m.endS - m.startS : -1;
    const double rateFromStart = Bench::megabytesPerSecond(double(size), fromStart);
    const double ceiling = 100.0 * rateFromStart * 1e6 / (row.bufferSize * 1000.0);
    const double lagMs = m.handledS >= 0 && m.endS >= 0 ? (m.handledS - m.endS) * 1e3 : -1.0;
    std::printf("%-8s %-6s %6d | %7.3f %7.1f %7.1f %6s | %7.3f %7.1f %7.1f | %8d %6d | %6.1f "
                "%6.1f %7s | %5.2f %5.2f | %s\n",
                row.transfer, row.runner, row.bufferSize, m.endS,
                Bench::megabytesPerSecond(double(size), m.endS), rateFromStart,
                qPrintable(figure(send && fromStart > 0, ceiling)), m.handledS,
                Bench::megabytesPerSecond(double(size), m.handledS), lagMs, m.progress, m.maxQueued,
                m.peakKiB / 1024.0, m.endKiB / 1024.0,
                qPrintable(figure(!send, m.engineQueueKiB / 1024.0)), m.mainCpu, m.processCpu,
                row.failure.isEmpty() ? "ok"
                                      : qPrintable(QStringLiteral("FAILED: ") + row.failure));
    std::fflush(stdout);
}

Settings parseSettings(const QStringList &arguments)
{
    Settings settings;
    settings.sizeMiB = qBound<qint64>(1, Bench::option(arguments, "--size", 256), 4096);
    settings.receiveRepeats = int(qBound<qint64>(1, Bench::option(arguments, "--repeats", 3), 20));
    settings.sendRepeats =
        int(qBound<qint64>(1, Bench::option(arguments, "--send-repeats", 1), 20));
    settings.bufferSizes = Bench::bufferSizesOption(arguments);
    settings.baseDirectory = Bench::textOption(arguments, "--dir", QDir::tempPath());
    settings.only = Bench::textOption(arguments, "--only", QString());
    return settings;
}

using Transfer = Row (*)(const QString &, int, const QString &);

struct Medians
{
    std::vector<double> rate, fromStart, lagMs, mainCpu;

    void add(const Row &row, qint64 size)
    {
        if (!row.failure.isEmpty())
            return;
        const Measurement &m = row.m;
        rate.push_back(Bench::megabytesPerSecond(double(size), m.endS));
        fromStart.push_back(Bench::megabytesPerSecond(double(size), m.endS - m.startS));
        lagMs.push_back((m.handledS - m.endS) * 1e3);
        mainCpu.push_back(m.mainCpu);
    }
    QString text() const
    {
        return QStringLiteral("%1 MB/s, MB/s* %2, lag %3 ms, main cpu %4 s")
            .arg(Bench::median(rate), 0, 'f', 1)
            .arg(Bench::median(fromStart), 0, 'f', 1)
            .arg(Bench::median(lagMs), 0, 'f', 1)
            .arg(Bench::median(mainCpu), 0, 'f', 2);
    }
};

void printMedians(const Medians &window, const Medians &worker)
{
    if (window.rate.size() < 2 || worker.rate.size() < 2)
        return;
    std::printf("   median  window %s | worker %s | window/worker MB/s %.2f\n",
                qPrintable(window.text()), qPrintable(worker.text()),
                Bench::median(window.rate) / Bench::median(worker.rate));
    std::fflush(stdout);
}

// The window first, then the bare worker, for each bufferSize.
void runPair(Transfer withWindow, Transfer bare, int repeats, const Settings &settings,
             const Bench::SourceFile &source, const QString &directory)
{
    for (const int bufferSize : settings.bufferSizes) {
        Medians window;
        Medians worker;
        for (int repeat = 0; repeat < repeats && !Bench::interrupted(); ++repeat) {
            const Row withWindowRow = withWindow(source.path, bufferSize, directory);
            printRow(withWindowRow, source.size);
            window.add(withWindowRow, source.size);
            const Row bareRow = bare(source.path, bufferSize, directory);
            printRow(bareRow, source.size);
            worker.add(bareRow, source.size);
        }
        printMedians(window, worker);
    }
}

int run(const Settings &settings)
{
    QTemporaryDir directory(settings.baseDirectory + QStringLiteral("/bench-window-XXXXXX"));
    Bench::SourceFile source;
    if (!Bench::writeSourceFile(directory, settings.baseDirectory, FileName, settings.sizeMiB, 11,
                                &source))
        return 1;
    std::printf("file %lld MiB (MD5 %s), in %s (%s)\n", static_cast<long long>(settings.sizeMiB),
                source.md5Hex.constData(), qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("stand-in %s, fresh for every run; it sends with --no-pace and its MD5 section\n",
                qPrintable(QDir::cleanPath(Bench::standInPath())));
    std::printf("load average at start: %s\n\n", qPrintable(Bench::loadAverage()));
    printLegend();
    printHeader();
    if (settings.only != QLatin1String("send"))
        runPair(receiveThroughWindow, receiveThroughWorker, settings.receiveRepeats, settings,
                source, directory.path());
    if (settings.only != QLatin1String("receive"))
        runPair(sendThroughWindow, sendThroughWorker, settings.sendRepeats, settings, source,
                directory.path());
    std::printf("\n%sload average at end: %s\n", Bench::interrupted() ? "INTERRUPTED; " : "",
                qPrintable(Bench::loadAverage()));
    return Bench::interrupted() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Bench::silenceDebugOutput();
    Bench::catchInterrupts();
    // The window looks its host up and connects as it is built.
    if (qgetenv("KVR_IN_NETNS") != "1") {
        std::fprintf(stderr, "run it through scripts/netns-run\n");
        return 2;
    }
    if (!QFileInfo(Bench::standInPath()).isExecutable()) {
        std::fprintf(stderr, "needs the stand-in (%s)\n", qPrintable(Bench::standInPath()));
        return 2;
    }
    const SettingsFileRemover remover;
    return run(parseSettings(app.arguments()));
}
