// Send throughput against the pacing ceiling: FileSender writes a file to
// a reader on 127.0.0.1 that discards everything as fast as it can, so only
// the sender's own pace limits the rate. The ceiling is bufferSize bytes
// per millisecond; the CPU time shows what holding that pace costs.
//
// Usage: bench_sender [--seconds S] [--min-mib MiB]
// Each file is sized to take about S seconds (default 4) at the ceiling.

#include "benchsupport.h"
#include "transfer/transfercodes.h"
#include "tests/testfiles.h"
#include "transfer/filesender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace {

struct Result
{
    int endCode = -1;
    int blocks = 0;
    double hashSeconds = 0; // from the call to TransStarted: the MD5 pass
    double seconds = 0;
    double processCpu = 0;
    double senderCpu = 0;
    quint64 wireBytes = 0;
    qint64 queuedAtEnd = 0;        // bytes still in the socket at the end code
    std::vector<qint64> periodsNs; // between consecutive TransProgress codes
};

// Turns the sender's codes into a Result: the clocks start at TransStarted,
// after the MD5 pass, and stop at the end code.
class Recorder
{
public:
    Recorder(Result &result, const QTcpSocket &socket) : m_result(result), m_socket(socket)
    {
        m_clock.start();
    }

    void operator()(int code)
    {
        if (code == TransStarted)
            start();
        else if (code == TransProgress)
            progress();
        else
            stop();
    }

private:
    void start()
    {
        m_result.hashSeconds = m_clock.restart() / 1e3;
        m_processCpu = Bench::cpuSeconds(RUSAGE_SELF);
        m_senderCpu = Bench::cpuSeconds(RUSAGE_THREAD);
    }
    void progress()
    {
        ++m_result.blocks;
        const qint64 now = m_clock.nsecsElapsed();
        if (m_lastProgressNs >= 0)
            m_result.periodsNs.push_back(now - m_lastProgressNs);
        m_lastProgressNs = now;
    }
    void stop()
    {
        m_result.seconds = m_clock.nsecsElapsed() / 1e9;
        m_result.processCpu = Bench::cpuSeconds(RUSAGE_SELF) - m_processCpu;
        m_result.senderCpu = Bench::cpuSeconds(RUSAGE_THREAD) - m_senderCpu;
        m_result.queuedAtEnd = m_socket.bytesToWrite();
    }

    Result &m_result;
    const QTcpSocket &m_socket;
    QElapsedTimer m_clock;
    double m_processCpu = 0;
    double m_senderCpu = 0;
    qint64 m_lastProgressNs = -1;
};

Result timedSend(const QString &path, int bufferSize, bool pace, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    Result result;
    if (!socket.waitForConnected(5000))
        return result;
    TestFiles::SendFields fields;
    fields.bufferSize = bufferSize;
    FileSender::Options options;
    options.pace = pace;
    result.periodsNs.reserve(size_t(QFileInfo(path).size() / bufferSize + 4));
    FileSender sender(fields.refs(), Recorder(result, socket), options);
    result.endCode = sender.send(&socket, path);
    result.wireBytes = fields.bytesWritten.load();
    // What the sender left in the socket would go down with it.
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) {
    }
    return result;
}

void printResult(const Result &result, qint64 fileSize, int bufferSize, bool pace, bool arrived)
{
    const double rate = result.seconds > 0 ? double(fileSize) / result.seconds : 0;
    const double ceiling = double(bufferSize) * 1000.0;
    std::printf("  %s, %s\n", result.endCode == TransDone ? "TransDone" : "FAILED",
                arrived ? "all bytes arrived" : "BYTES MISSING");
    std::printf("  MD5 pass before the first byte: %.3f s\n", result.hashSeconds);
    std::printf("  %.3f s, %.0f bytes/s (%.2f MB/s)", result.seconds, rate, rate / 1e6);
    if (pace)
        std::printf(", %.2f%% of the ceiling %.0f bytes/s", 100.0 * rate / ceiling, ceiling);
    std::printf("\n  %d blocks, %.1f us per block; %lld bytes still queued in the socket at "
                "the end code\n",
                result.blocks, result.blocks > 0 ? result.seconds * 1e6 / result.blocks : 0.0,
                static_cast<long long>(result.queuedAtEnd));
    Bench::printBlockPeriods(result.periodsNs);
    std::printf("  cpu: process %.3f s (%.1f%% of one core), sending thread %.3f s (%.1f%%)\n",
                result.processCpu, 100.0 * result.processCpu / result.seconds, result.senderCpu,
                100.0 * result.senderCpu / result.seconds);
    std::fflush(stdout);
}

void benchmark(const QString &directory, int bufferSize, bool pace, const QStringList &arguments,
               Bench::DiscardingReader &reader)
{
    const qint64 seconds = qBound<qint64>(1, Bench::option(arguments, "--seconds", 4), 60);
    const qint64 minBytes = Bench::option(arguments, "--min-mib", 64) * 1024 * 1024;
    const qint64 fileSize = qMax(minBytes, qint64(bufferSize) * 1000 * seconds);
    const QString path = directory + QStringLiteral("/send-%1.bin").arg(bufferSize);
    std::printf("\n-- bufferSize %d, %s, file %.1f MiB\n", bufferSize, pace ? "paced" : "UNPACED",
                fileSize / 1048576.0);
    if (!Bench::writeRandomFile(path, fileSize, quint32(bufferSize))) {
        std::printf("  cannot write %s\n", qPrintable(path));
        return;
    }
    const quint64 before = reader.received();
    const Result result = timedSend(path, bufferSize, pace, reader.port());
    // The socket drains before the next run, which then starts from an idle
    // reader, and the byte count can be checked.
    const quint64 sent = before + result.wireBytes;
    const bool arrived =
        Bench::waitUntil([&reader, sent] { return reader.received() >= sent; }, 10000);
    printResult(result, fileSize, bufferSize, pace, arrived);
    QFile::remove(path);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    QTemporaryDir directory;
    if (!directory.isValid())
        return 1;
    Bench::DiscardingReader reader;
    if (!reader.listening()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("reader on 127.0.0.1:%u in its own thread; files in %s (%s)\n",
                unsigned(reader.port()), qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("rate = file bytes / time from TransStarted to TransDone (MD5 pass excluded)\n");
    const QStringList arguments = app.arguments();
    benchmark(directory.path(), 12000, true, arguments, reader);
    benchmark(directory.path(), 65536, true, arguments, reader);
    benchmark(directory.path(), 65536, false, arguments, reader);
    return 0;
}
