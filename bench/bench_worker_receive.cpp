// End-to-end receive through the network worker, against socat. The
// controller stand-in sends one file unpaced; the worker connects with
// CmdConnect and its receive engine writes the file. socat, receiving the
// same stream from a fresh stand-in into the same kind of file, shows what
// the stand-in, the loopback and the disk allow together.
//
// Usage: bench_worker_receive [--size MiB] [--repeats N] [--buffer BYTES]
//                             [--socat-block BYTES] [--dir DIR]
// Defaults: 256 MiB, 3 repeats, bufferSize 12000 and 65536, socat's own
// block size (8192), in a temporary directory under the system's.

#include "benchsupport.h"
#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "transfer/sharedvalues.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

const QString FileName = QStringLiteral("worker-receive.bin");

struct Settings
{
    qint64 sizeMiB = 256;
    int repeats = 3;
    QList<int> bufferSizes;
    qint64 socatBlock = 0; // 0: socat's default
    QString baseDirectory;
};

struct Source : Bench::SourceFile
{
    bool withMd5 = true;

    QStringList standInOptions() const
    {
        QStringList options{QStringLiteral("--send"), path, QStringLiteral("--no-pace")};
        if (!withMd5)
            options << QStringLiteral("--no-md5");
        return options;
    }
    QByteArray header() const
    {
        return Protocol::buildHeader(FileName, quint64(size), withMd5 ? md5Hex : QByteArray());
    }
    qint64 wireSize() const { return header().size() + size + Protocol::endMarker().size(); }
};

// One receive, timed from the connection attempt to the last byte on disk.
struct Run
{
    QString failure; // empty when the file arrived whole
    double seconds = 0;
    double fromFirstByte = 0; // the stand-in's MD5 pass left out
    double receiverCpu = 0;   // the benchmark process, or socat
    double standInCpu = 0;
    QString details;
};

double megabytesPerSecond(const Source &source, double seconds)
{
    return Bench::megabytesPerSecond(double(source.size), seconds);
}

// Filled in the engine's thread as its codes are emitted; read once done.
struct EngineWatch
{
    std::atomic<qint64> firstByteNs{-1};
    std::atomic<qint64> endNs{-1};
    std::atomic<int> endCode{-1};
    std::atomic<int> progressCodes{0};
};

void watchEngine(receiveThread *engine, EngineWatch &watch, const QElapsedTimer &clock)
{
    QObject::connect(
        engine, &receiveThread::sendRecState, engine,
        [&watch, &clock](int code) {
            if (code == RecStarted) {
                watch.firstByteNs = clock.nsecsElapsed();
            } else if (code == RecProgress) {
                ++watch.progressCodes;
            } else if (code != RecRawData) {
                watch.endNs = clock.nsecsElapsed();
                watch.endCode = code;
            }
        },
        Qt::DirectConnection);
}

struct CpuSnapshot
{
    double process = Bench::cpuSeconds(RUSAGE_SELF);
    double main = Bench::cpuSeconds(RUSAGE_THREAD);
    double worker = Bench::threadCpuSeconds("sendThread");
    double engine = Bench::threadCpuSeconds("receiveThread");
};

QString cpuDetails(const CpuSnapshot &before, const EngineWatch &watch, receiveThread *engine,
                   int windowCodes)
{
    const CpuSnapshot after;
    return QStringLiteral("cpu s: process %1 (worker thread %2, engine %3, main %4); "
                          "%5 RecProgress, %6 codes reached the main thread; "
                          "queue peak %7 chunks, %8 KiB")
        .arg(after.process - before.process, 0, 'f', 2)
        .arg(after.worker - before.worker, 0, 'f', 2)
        .arg(after.engine - before.engine, 0, 'f', 2)
        .arg(after.main - before.main, 0, 'f', 2)
        .arg(watch.progressCodes.load())
        .arg(windowCodes)
        .arg(engine->peakQueuedChunks())
        .arg(engine->peakQueuedBytes() / 1024);
}

QString checkWorkerFile(const Source &source, const QString &path, int endCode)
{
    if (endCode != RecDone)
        return QStringLiteral("end code %1 instead of RecDone").arg(endCode);
    if (Bench::sizeOf(path) != source.size)
        return QStringLiteral("%1 has %2 bytes").arg(path).arg(Bench::sizeOf(path));
    if (!Bench::sameBytes(source.path, 0, path, 0, source.size))
        return QStringLiteral("%1 differs from the file sent").arg(path);
    return QString();
}

Run receiveThroughWorker(const Source &source, int bufferSize, const QString &directory)
{
    Run run;
    const QString target = directory + QStringLiteral("/worker");
    QDir().mkpath(target);
    saveFilePath.set(target);
    Bench::StandIn standIn;
    if (!standIn.start(directory + QStringLiteral("/controller"), source.standInOptions())) {
        run.failure = QStringLiteral("the stand-in did not start");
        return run;
    }
    EngineWatch watch;
    QElapsedTimer clock;
    int windowCodes = 0;
    QObject window;
    Bench::RunningWorker running(bufferSize);
    watchEngine(running.worker.recThread, watch, clock);
    // Queued to this thread, as the window receives them.
    QObject::connect(&running.worker, &sendThread::sendRecState, &window,
                     [&windowCodes](int) { ++windowCodes; });

    const CpuSnapshot before;
    clock.start();
    running.command(CmdConnect);
    if (!Bench::waitUntil([&watch] { return watch.endCode >= 0; }, 300000))
        run.failure = QStringLiteral("no end code within 300 s");
    run.seconds = watch.endNs / 1e9;
    run.fromFirstByte = (watch.endNs - watch.firstByteNs) / 1e9;
    run.standInCpu = standIn.cpuSeconds();
    run.receiverCpu = Bench::cpuSeconds(RUSAGE_SELF) - before.process;
    run.details = cpuDetails(before, watch, running.worker.recThread, windowCodes);
    running.command(CmdDisconnect);
    standIn.stop();

    const QString path = target + QLatin1Char('/') + FileName;
    if (run.failure.isEmpty())
        run.failure = checkWorkerFile(source, path, watch.endCode);
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".part"));
    return run;
}

QString checkSocatFile(const Source &source, const QString &path)
{
    const QByteArray header = source.header();
    QFile file(path);
    if (Bench::sizeOf(path) != source.wireSize() || !file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 has %2 bytes").arg(path).arg(Bench::sizeOf(path));
    if (file.read(header.size()) != header)
        return QStringLiteral("the header differs");
    if (!file.seek(header.size() + source.size) || file.readAll() != Protocol::endMarker())
        return QStringLiteral("the end marker differs");
    if (!Bench::sameBytes(source.path, 0, path, header.size(), source.size))
        return QStringLiteral("the contents differ");
    return QString();
}

// socat does not know the framing, and the stand-in keeps the connection
// open after a send: the stream is complete when its last byte is in the
// file. The size is polled every half millisecond.
Run receiveThroughSocat(const Source &source, qint64 socatBlock, const QString &directory)
{
    Run run;
    const QString target = directory + QStringLiteral("/socat/") + FileName;
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    Bench::StandIn standIn;
    if (!standIn.start(directory + QStringLiteral("/controller"), source.standInOptions())) {
        run.failure = QStringLiteral("the stand-in did not start");
        return run;
    }
    const qint64 expected = source.wireSize();
    Bench::ChildProcess socat;
    socat.setProcessChannelMode(QProcess::ForwardedChannels);
    QElapsedTimer clock;
    clock.start();
    QStringList arguments{QStringLiteral("-u")};
    if (socatBlock > 0)
        arguments << QStringLiteral("-b") << QString::number(socatBlock);
    arguments << QStringLiteral("TCP:127.0.0.1:8080") << QStringLiteral("CREATE:") + target;
    socat.start(QStringLiteral("socat"), arguments);
    qint64 firstByteNs = -1;
    for (qint64 size = 0; size < expected; size = Bench::sizeOf(target)) {
        if (size > 0 && firstByteNs < 0)
            firstByteNs = clock.nsecsElapsed();
        QCoreApplication::processEvents();
        const bool gone = socat.state() == QProcess::NotRunning;
        if (Bench::interrupted() || clock.elapsed() > 300000 ||
            (gone && Bench::sizeOf(target) < expected)) {
            run.failure = QStringLiteral("socat stopped at %1 of %2 bytes").arg(size).arg(expected);
            break;
        }
        usleep(500);
    }
    const qint64 endNs = clock.nsecsElapsed();
    run.seconds = endNs / 1e9;
    // A stream small enough to arrive between two polls has no first byte.
    run.fromFirstByte = firstByteNs < 0 ? run.seconds : (endNs - firstByteNs) / 1e9;
    run.receiverCpu = socat.cpuSeconds();
    run.standInCpu = standIn.cpuSeconds();
    socat.stop();
    standIn.stop();
    if (run.failure.isEmpty())
        run.failure = checkSocatFile(source, target);
    QFile::remove(target);
    return run;
}

struct Medians
{
    std::vector<double> worker, socat, ratio, workerFirstByte, socatFirstByte, ratioFirstByte;
};

void printPair(int repeat, const Source &source, const Run &worker, const Run &socat,
               Medians &medians)
{
    if (!worker.failure.isEmpty() || !socat.failure.isEmpty()) {
        std::printf("  run %d FAILED: worker: %s; socat: %s\n", repeat,
                    qPrintable(worker.failure.isEmpty() ? QStringLiteral("ok") : worker.failure),
                    qPrintable(socat.failure.isEmpty() ? QStringLiteral("ok") : socat.failure));
        return;
    }
    const double workerRate = megabytesPerSecond(source, worker.seconds);
    const double socatRate = megabytesPerSecond(source, socat.seconds);
    const double workerFirst = megabytesPerSecond(source, worker.fromFirstByte);
    const double socatFirst = megabytesPerSecond(source, socat.fromFirstByte);
    medians.worker.push_back(workerRate);
    medians.socat.push_back(socatRate);
    medians.ratio.push_back(workerRate / socatRate);
    medians.workerFirstByte.push_back(workerFirst);
    medians.socatFirstByte.push_back(socatFirst);
    medians.ratioFirstByte.push_back(workerFirst / socatFirst);
    std::printf("  run %d  worker %7.1f MB/s (%.3f s)  socat %7.1f MB/s (%.3f s)  ratio %.2f"
                "  | from first byte: %.1f / %.1f MB/s, ratio %.2f  | load %s\n",
                repeat, workerRate, worker.seconds, socatRate, socat.seconds,
                workerRate / socatRate, workerFirst, socatFirst, workerFirst / socatFirst,
                qPrintable(Bench::loadAverage()));
    std::printf("         worker %s\n", qPrintable(worker.details));
    std::printf("         stand-in cpu s: %.2f (worker run), %.2f (socat run); socat cpu s: "
                "%.2f\n",
                worker.standInCpu, socat.standInCpu, socat.receiverCpu);
    std::fflush(stdout);
}

void printMedians(const Medians &medians)
{
    if (medians.worker.empty())
        return;
    std::printf("  median  worker %7.1f MB/s  socat %7.1f MB/s  ratio %.2f (goal >= 0.50)"
                "  | from first byte: %.1f / %.1f MB/s, ratio %.2f\n",
                Bench::median(medians.worker), Bench::median(medians.socat),
                Bench::median(medians.ratio), Bench::median(medians.workerFirstByte),
                Bench::median(medians.socatFirstByte), Bench::median(medians.ratioFirstByte));
    std::fflush(stdout);
}

void benchmark(const Source &source, int bufferSize, const Settings &settings,
               const QString &directory)
{
    std::printf("\n-- %s, bufferSize %d\n",
                source.withMd5 ? "stream with the MD5 section" : "stream without the MD5 section",
                bufferSize);
    std::fflush(stdout);
    Medians medians;
    for (int repeat = 1; repeat <= settings.repeats && !Bench::interrupted(); ++repeat) {
        const Run worker = receiveThroughWorker(source, bufferSize, directory);
        const Run socat = receiveThroughSocat(source, settings.socatBlock, directory);
        printPair(repeat, source, worker, socat, medians);
    }
    printMedians(medians);
}

Settings parseSettings(const QStringList &arguments)
{
    Settings settings;
    settings.sizeMiB = qBound<qint64>(1, Bench::option(arguments, "--size", 256), 4096);
    settings.repeats = int(qBound<qint64>(1, Bench::option(arguments, "--repeats", 3), 20));
    settings.bufferSizes = Bench::bufferSizesOption(arguments);
    settings.socatBlock = qBound<qint64>(0, Bench::option(arguments, "--socat-block", 0), 1 << 24);
    settings.baseDirectory = Bench::textOption(arguments, "--dir", QDir::tempPath());
    return settings;
}

int run(const Settings &settings)
{
    QTemporaryDir directory(settings.baseDirectory + QStringLiteral("/bench-worker-XXXXXX"));
    Source source;
    if (!Bench::writeSourceFile(directory, settings.baseDirectory, FileName, settings.sizeMiB, 7,
                                &source))
        return 1;
    std::printf("file %lld MiB; received files in %s (%s)\n",
                static_cast<long long>(settings.sizeMiB), qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("stand-in %s, --no-pace, fresh for every run; socat block %s\n",
                qPrintable(QDir::cleanPath(Bench::standInPath())),
                settings.socatBlock > 0 ? qPrintable(QString::number(settings.socatBlock))
                                        : "8192 (its default)");
    std::printf("MB/s = 10^6 content bytes per second, from the connection attempt (CmdConnect, "
                "or starting socat)\nto the file complete (RecDone from the engine, or socat's "
                "file at full size); both include\nthe stand-in's MD5 pass before its first "
                "byte, so 'from first byte' is given too.\n");
    std::printf("worker cpu = this process (worker, engine and main thread, which takes the "
                "codes queued as the window would)\n");
    std::printf("load average at start: %s\n", qPrintable(Bench::loadAverage()));
    std::fflush(stdout);
    for (const bool withMd5 : {true, false}) {
        source.withMd5 = withMd5;
        for (const int bufferSize : settings.bufferSizes) {
            if (!Bench::interrupted())
                benchmark(source, bufferSize, settings, directory.path());
        }
    }
    std::printf("\n%sload average at end: %s\n", Bench::interrupted() ? "INTERRUPTED; " : "",
                qPrintable(Bench::loadAverage()));
    return Bench::interrupted() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    Bench::catchInterrupts();
    if (!QFileInfo(Bench::standInPath()).isExecutable() ||
        QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty()) {
        std::fprintf(stderr, "needs the stand-in (%s) and socat\n",
                     qPrintable(Bench::standInPath()));
        return 2;
    }
    return run(parseSettings(app.arguments()));
}
