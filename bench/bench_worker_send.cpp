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
#include "transfer/filesender.h"
#include "transfer/protocol.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

const QString FileName = QStringLiteral("worker-send.bin");

// Accepts connections on 127.0.0.1:8080 in its own thread ("discarder") and
// hashes and throws away what arrives. Each connection starts a new count.
class DiscardingReader
{
public:
    DiscardingReader()
    {
        m_thread.setObjectName(QStringLiteral("discarder"));
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            &m_context, [this] { listen(); }, Qt::BlockingQueuedConnection);
    }
    ~DiscardingReader()
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    DiscardingReader(const DiscardingReader &) = delete;
    DiscardingReader &operator=(const DiscardingReader &) = delete;

    bool listening() const { return m_listening; }
    quint64 received() const { return m_received.load(); }
    int connections() const { return m_connections.load(); }
    QByteArray md5Hex()
    {
        QByteArray digest;
        QMetaObject::invokeMethod(
            &m_context, [this, &digest] { digest = m_hash.result().toHex(); },
            Qt::BlockingQueuedConnection);
        return digest;
    }

private:
    void listen()
    {
        m_server = new QTcpServer;
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { accept(); });
        m_listening = m_server->listen(QHostAddress::LocalHost, sendThread::ControllerPort);
    }
    void accept()
    {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setParent(m_server);
            m_hash.reset();
            m_received = 0;
            ++m_connections;
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket] { readAll(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }
    void readAll(QTcpSocket *socket)
    {
        char buffer[256 * 1024];
        for (qint64 n; (n = socket->read(buffer, sizeof buffer)) > 0;) {
            m_hash.addData(buffer, int(n));
            m_received += quint64(n);
        }
    }

    QThread m_thread;
    QObject m_context;
    QTcpServer *m_server = nullptr;
    bool m_listening = false;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::atomic<quint64> m_received{0};
    std::atomic<int> m_connections{0};
};

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

void printPeriods(std::vector<qint64> sorted)
{
    if (sorted.empty())
        return;
    std::sort(sorted.begin(), sorted.end());
    const auto over = [&sorted](qint64 limitNs) {
        return static_cast<long long>(sorted.end() -
                                      std::upper_bound(sorted.begin(), sorted.end(), limitNs));
    };
    std::printf("  block period us: p50 %.1f, p90 %.1f, p99 %.1f, max %.1f; "
                "%lld over 1.1 ms, %lld over 2 ms\n",
                Bench::percentile(sorted, 50) / 1e3, Bench::percentile(sorted, 90) / 1e3,
                Bench::percentile(sorted, 99) / 1e3, double(sorted.back()) / 1e3, over(1100000),
                over(2000000));
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
    printPeriods(watch.periodsNs);
    const auto share = [&watch](double cpu) { return 100.0 * cpu / watch.seconds; };
    std::printf("  cpu: process %.3f s (%.1f%% of one core), worker thread %.3f s (%.1f%%), "
                "reader thread %.2f s (%.1f%%)\n",
                watch.processCpu, share(watch.processCpu), watch.workerCpu, share(watch.workerCpu),
                watch.readerCpu, share(watch.readerCpu));
    std::printf("  load average after: %s\n", qPrintable(Bench::loadAverage()));
    std::fflush(stdout);
}

bool connectWorker(Bench::RunningWorker &running, DiscardingReader &reader)
{
    const int connectionsBefore = reader.connections();
    running.command(CmdConnect);
    sendThread &worker = running.worker;
    if (!Bench::waitUntil(
            [&worker] { return worker.clientState() == QAbstractSocket::ConnectedState; }, 10000))
        return false;
    worker.currentDevice = worker.clientSocket.load();
    worker.sendLink = LinkClient;
    // The reader starts its count and digest when it has accepted.
    return Bench::waitUntil(
        [&reader, connectionsBefore] { return reader.connections() > connectionsBefore; }, 5000);
}

void sendOnce(const Prepared &file, int bufferSize, DiscardingReader &reader)
{
    Bench::RunningWorker running(bufferSize);
    if (!connectWorker(running, reader)) {
        std::printf("  FAILED: the worker did not connect\n");
        return;
    }
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
    const bool arrived =
        Bench::waitUntil([&] { return reader.received() >= file.wireBytes; }, 10000) &&
        reader.received() == file.wireBytes;
    const bool intact = arrived && reader.md5Hex() == file.streamMd5Hex;
    Bench::waitUntil([&windowCodes, &watch] { return windowCodes >= watch.blocks + 2; }, 2000);
    printRun(watch, file, bufferSize, windowCodes, arrived, intact);
}

void benchmark(const QString &directory, int bufferSize, const QStringList &arguments,
               DiscardingReader &reader)
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
    DiscardingReader reader;
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
    const qint64 buffer = Bench::option(arguments, "--buffer", 0);
    const QList<int> bufferSizes =
        buffer > 0 ? QList<int>{int(qBound<qint64>(FileSender::MinBufferSize, buffer,
                                                   FileSender::MaxBufferSize))}
                   : QList<int>{12000, 65536};
    for (const int bufferSize : bufferSizes) {
        if (!Bench::interrupted())
            benchmark(directory.path(), bufferSize, arguments, reader);
    }
    if (Bench::interrupted())
        std::printf("\nINTERRUPTED\n");
    return Bench::interrupted() ? 1 : 0;
}
