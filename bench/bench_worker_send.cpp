// Send throughput through the network worker against the pacing ceiling,
// like bench_sender but with the sender inside the worker: the worker runs
// in its own thread, gets CmdConnect and CmdSendFile queued as from the
// window, and reports by sendTransState. The ceiling is bufferSize bytes
// per millisecond, as the sender writes one block per millisecond at most.
//
// The peer is a reader in this process, in its own thread, that hashes and
// discards what arrives: the stand-in would also parse the stream, hash it
// and write it to disk, on the same two cores as the worker, so its
// figure would be the stand-in's as much as the worker's. The reader's CPU
// is shown apart from the worker's.
//
// Usage: bench_worker_send [--seconds S] [--min-mib MiB] [--repeats N]
//                          [--buffer BYTES]
// Each file is sized to take about S seconds (default 6) at the ceiling;
// bufferSize 12000 and 65536 unless --buffer names one.

#include "benchsupport.h"
#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "transfer/protocol.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

const QString FileName = QStringLiteral("worker-send.bin");

// Written in the worker's thread as it emits its codes (a direct
// connection, so that the times are the worker's own); read by the main
// thread once endCode is set.
struct SendWatch
{
    QElapsedTimer clock;
    double hashSeconds = 0; // from CmdSendFile to TransStarted: the MD5 pass
    double seconds = 0;     // from TransStarted to the end code
    double processCpu = 0;
    double workerCpu = 0;
    double readerCpu = 0;
    int blocks = 0;
    std::vector<qint64> periodsNs; // between consecutive TransProgress codes
    std::atomic<int> endCode{-1};

    void onCode(int code)
    {
        const qint64 now = clock.nsecsElapsed();
        if (code == TransStarted) {
            m_startNs = now;
            hashSeconds = now / 1e9;
            processCpu = -Bench::cpuSeconds(RUSAGE_SELF);
            workerCpu = -Bench::cpuSeconds(RUSAGE_THREAD);
            readerCpu = -Bench::threadCpuSeconds("discarder");
        } else if (code == TransProgress) {
            ++blocks;
            if (m_lastProgressNs >= 0)
                periodsNs.push_back(now - m_lastProgressNs);
            m_lastProgressNs = now;
        } else {
            seconds = (now - m_startNs) / 1e9;
            processCpu += Bench::cpuSeconds(RUSAGE_SELF);
            workerCpu += Bench::cpuSeconds(RUSAGE_THREAD);
            readerCpu += Bench::threadCpuSeconds("discarder");
            endCode = code;
        }
    }

private:
    qint64 m_startNs = 0;
    qint64 m_lastProgressNs = -1;
};

struct Prepared
{
    QString path;
    qint64 size = 0;
    quint64 wireBytes = 0;
    QByteArray streamMd5Hex; // of header, contents and end marker
};

bool prepareFile(const QString &path, qint64 size, Prepared *prepared)
{
    QByteArray md5Hex;
    if (!Bench::writeUniqueRandomFile(path, size, quint32(size), &md5Hex))
        return false;
    const QByteArray header = Protocol::buildHeader(FileName, quint64(size), md5Hex);
    QCryptographicHash stream(QCryptographicHash::Md5);
    stream.addData(header);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !stream.addData(&file))
        return false;
    stream.addData(Protocol::endMarker());
    prepared->path = path;
    prepared->size = size;
    prepared->wireBytes = quint64(header.size() + size + Protocol::endMarker().size());
    prepared->streamMd5Hex = stream.result().toHex();
    return true;
}

void printRun(const SendWatch &watch, const Prepared &file, int bufferSize, int windowCodes,
              bool arrived, bool intact)
{
    const double rate = watch.seconds > 0 ? double(file.size) / watch.seconds : 0;
    const double ceiling = double(bufferSize) * 1000.0;
    std::printf("  %s, %s, %s\n", watch.endCode == TransDone ? "TransDone" : "FAILED",
                arrived ? "all bytes arrived" : "BYTES MISSING",
                intact ? "stream MD5 matches" : "STREAM MD5 DIFFERS");
    std::printf("  MD5 pass before the first byte: %.3f s\n", watch.hashSeconds);
    std::printf("  %.3f s, %.0f bytes/s (%.2f MB/s), %.2f%% of the ceiling %.0f bytes/s "
                "(goal >= 97%%)\n",
                watch.seconds, rate, rate / 1e6, 100.0 * rate / ceiling, ceiling);
    std::printf("  %d blocks, %.1f us per block; %d codes reached the main thread\n", watch.blocks,
                watch.blocks > 0 ? watch.seconds * 1e6 / watch.blocks : 0.0, windowCodes);
    Bench::printBlockPeriods(watch.periodsNs);
    const auto share = [&watch](double cpu) { return 100.0 * cpu / watch.seconds; };
    std::printf("  cpu: process %.3f s (%.1f%% of one core), worker thread %.3f s (%.1f%%), "
                "reader thread %.2f s (%.1f%%)\n",
                watch.processCpu, share(watch.processCpu), watch.workerCpu, share(watch.workerCpu),
                watch.readerCpu, share(watch.readerCpu));
    std::printf("  load average after: %s\n", qPrintable(Bench::loadAverage()));
    std::fflush(stdout);
}

bool connectWorker(Bench::RunningWorker &running, Bench::DiscardingReader &reader)
{
    const int connectionsBefore = reader.connections();
    running.command(CmdConnect);
    sendThread &worker = running.worker;
    if (!Bench::waitUntil(
            [&worker] { return worker.clientState() == QAbstractSocket::ConnectedState; }, 10000))
        return false;
    worker.currentDevice = worker.clientSocket.load();
    worker.sendLink = LinkClient;
    // The reader starts its digest when it has accepted.
    return Bench::waitUntil(
        [&reader, connectionsBefore] { return reader.connections() > connectionsBefore; }, 5000);
}

void sendOnce(const Prepared &file, int bufferSize, Bench::DiscardingReader &reader)
{
    Bench::RunningWorker running(bufferSize);
    if (!connectWorker(running, reader)) {
        std::printf("  FAILED: the worker did not connect\n");
        return;
    }
    const quint64 before = reader.received();
    SendWatch watch;
    watch.periodsNs.reserve(size_t(file.size / bufferSize + 4));
    QObject::connect(
        &running.worker, &sendThread::sendTransState, &running.worker,
        [&watch](int code) { watch.onCode(code); }, Qt::DirectConnection);
    // Queued to this thread, as the window receives them.
    int windowCodes = 0;
    QObject window;
    QObject::connect(&running.worker, &sendThread::sendTransState, &window,
                     [&windowCodes](int) { ++windowCodes; });
    running.worker.filePath.set(file.path);
    watch.clock.start();
    running.command(CmdSendFile);
    const qint64 timeoutMs = file.size / bufferSize * 20 + 60000;
    Bench::waitUntil([&watch] { return watch.endCode >= 0; }, timeoutMs);
    const auto received = [&reader, before] { return reader.received() - before; };
    const bool arrived = Bench::waitUntil([&] { return received() >= file.wireBytes; }, 10000) &&
                         received() == file.wireBytes;
    const bool intact = arrived && reader.md5Hex() == file.streamMd5Hex;
    Bench::waitUntil([&windowCodes, &watch] { return windowCodes >= watch.blocks + 2; }, 2000);
    printRun(watch, file, bufferSize, windowCodes, arrived, intact);
}

void benchmark(const QString &directory, int bufferSize, const QStringList &arguments,
               Bench::DiscardingReader &reader)
{
    const qint64 seconds = qBound<qint64>(1, Bench::option(arguments, "--seconds", 6), 60);
    const qint64 minBytes = Bench::option(arguments, "--min-mib", 16) * 1024 * 1024;
    const int repeats = int(qBound<qint64>(1, Bench::option(arguments, "--repeats", 1), 20));
    const qint64 fileSize = qMax(minBytes, qint64(bufferSize) * 1000 * seconds);
    Prepared file;
    if (!prepareFile(directory + QLatin1Char('/') + FileName, fileSize, &file)) {
        std::printf("  cannot write %s\n", qPrintable(directory));
        return;
    }
    for (int repeat = 1; repeat <= repeats && !Bench::interrupted(); ++repeat) {
        std::printf("\n-- bufferSize %d, file %.1f MiB, run %d (load average before: %s)\n",
                    bufferSize, fileSize / 1048576.0, repeat, qPrintable(Bench::loadAverage()));
        std::fflush(stdout);
        sendOnce(file, bufferSize, reader);
    }
    QFile::remove(file.path);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    Bench::catchInterrupts();
    QTemporaryDir directory;
    if (!directory.isValid())
        return 1;
    Bench::DiscardingReader reader(sendThread::ControllerPort, Bench::DiscardingReader::Hashed);
    if (!reader.listening()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:8080\n");
        return 1;
    }
    std::printf("worker in its own thread -> reader on 127.0.0.1:8080 in its own thread "
                "(hashes, discards)\n");
    std::printf("files in %s (%s)\n", qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("rate = file bytes / time from TransStarted to TransDone (MD5 pass excluded), "
                "times taken in the worker's thread\n");
    const QStringList arguments = app.arguments();
    const QList<int> bufferSizes = Bench::bufferSizesOption(arguments);
    for (const int bufferSize : bufferSizes) {
        if (!Bench::interrupted())
            benchmark(directory.path(), bufferSize, arguments, reader);
    }
    if (Bench::interrupted())
        std::printf("\nINTERRUPTED\n");
    return Bench::interrupted() ? 1 : 0;
}
