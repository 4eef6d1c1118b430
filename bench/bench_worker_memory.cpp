// Memory of a receive whose disk side is slower than the network: the
// stand-in sends unpaced, and every write the engine makes also goes into a
// FIFO (through FileReceiver's write hook) that a thread here empties at a
// fixed rate, hashing what it reads.
// The worker has to hold the controller back (it stops reading while the
// engine's queue is full, and TCP does the rest) instead of buffering the
// file. VmRSS is sampled by a timer of the main thread.
//
// Usage: bench_worker_memory [--size MiB] [--rate BYTES_PER_S]
//                            [--buffer BYTES] [--dir DIR]
// Defaults: 512 MiB, 64000000 bytes/s, bufferSize 12000 and 65536.

#include "benchsupport.h"
#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "transfer/filereceiver.h"
#include "transfer/receivethread.h"
#include "transfer/sharedvalues.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString FileName = QStringLiteral("worker-memory.bin");

struct Settings
{
    qint64 sizeMiB = 512;
    qint64 rate = 64000000;
    QList<int> bufferSizes;
    QString baseDirectory;
};

// Empties a FIFO at rate bytes per second in its own thread, counting and
// hashing the bytes. Told to drain, it stops pacing and reads to the end,
// so that a writer blocked on the FIFO is never left hanging.
class ThrottledReader
{
public:
    ThrottledReader(const QString &path, qint64 rate)
        : m_path(QFile::encodeName(path)), m_rate(rate), m_thread([this] { run(); })
    {}
    ~ThrottledReader()
    {
        drain();
        // A reader still waiting in open() for a writer is let go by one.
        while (!m_done) {
            const int fd = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            usleep(10000);
        }
        m_thread.join();
    }
    ThrottledReader(const ThrottledReader &) = delete;
    ThrottledReader &operator=(const ThrottledReader &) = delete;

    void drain() { m_draining = true; }
    bool done() const { return m_done; }
    quint64 bytes() const { return m_bytes; }
    // Valid once done().
    QByteArray md5Hex() const { return m_done ? m_md5Hex : QByteArray(); }

private:
    void run()
    {
        const int fd = ::open(m_path.constData(), O_RDONLY); // waits for the writer
        QCryptographicHash hash(QCryptographicHash::Md5);
        if (fd >= 0) {
            readAll(fd, hash);
            ::close(fd);
        }
        m_md5Hex = hash.result().toHex();
        m_done = true;
    }
    void readAll(int fd, QCryptographicHash &hash)
    {
        std::vector<char> buffer(64 * 1024);
        QElapsedTimer clock;
        for (;;) {
            if (clock.isValid() && !m_draining) {
                const qint64 aheadNs =
                    qint64(double(m_bytes) * 1e9 / double(m_rate)) - clock.nsecsElapsed();
                if (aheadNs > 0)
                    usleep(useconds_t(aheadNs / 1000));
            }
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            if (!clock.isValid())
                clock.start();
            hash.addData(buffer.data(), int(n));
            m_bytes += quint64(n);
        }
    }

    const QByteArray m_path;
    const qint64 m_rate;
    std::atomic<bool> m_draining{false};
    std::atomic<bool> m_done{false};
    std::atomic<quint64> m_bytes{0};
    QByteArray m_md5Hex;
    std::thread m_thread; // last: starts once the rest is set up
};

using Source = Bench::SourceFile;

struct Outcome
{
    int endCode = -1;
    double seconds = 0; // from CmdConnect to the end code
    qint64 afterKiB = 0;
    int peakChunks = 0;
    qint64 peakBytes = 0;
    quint64 readerBytes = 0;
    QByteArray readerMd5Hex;
};

void printOutcome(const Outcome &outcome, const Bench::RssSampler &rss, const Source &source)
{
    const bool matched = outcome.endCode == RecDone &&
                         outcome.readerBytes == quint64(source.size) &&
                         outcome.readerMd5Hex == source.md5Hex;
    std::printf("  %s; reader got %llu bytes; contents %s\n",
                outcome.endCode == RecDone ? "RecDone" : "FAILED (no RecDone)",
                static_cast<unsigned long long>(outcome.readerBytes),
                matched ? "match the file sent (MD5)" : "DO NOT MATCH");
    std::printf("  %.2f s from CmdConnect (the stand-in's MD5 pass included), %.1f MB/s\n",
                outcome.seconds, Bench::megabytesPerSecond(double(source.size), outcome.seconds));
    const qint64 growth = rss.peakKiB - rss.idleKiB;
    std::printf("  VmRSS idle %lld KiB, peak %lld KiB (at %.1f s), peak - idle %lld KiB "
                "(%.2f MiB); after RecDone %lld KiB\n",
                static_cast<long long>(rss.idleKiB), static_cast<long long>(rss.peakKiB),
                rss.peakAtMs / 1000.0, static_cast<long long>(growth), growth / 1024.0,
                static_cast<long long>(outcome.afterKiB));
    std::printf("  engine queue peak %d chunks, %lld KiB (limits %d chunks, %lld KiB)\n",
                outcome.peakChunks, static_cast<long long>(outcome.peakBytes / 1024),
                receiveThread::MaxQueuedChunks,
                static_cast<long long>(receiveThread::MaxQueuedBytes / 1024));
    std::printf("  %d samples every 10 ms, longest gap %lld ms; load average %s\n", rss.samples,
                static_cast<long long>(rss.longestGapMs), qPrintable(Bench::loadAverage()));
    std::fflush(stdout);
}

// The engine's writes go into a FIFO as well: the reader is behind every
// write the engine makes.
bool makeFifo(const QString &path)
{
    QFile::remove(path);
    return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

// Blocks in open() until the reader has opened its end.
int routeWritesInto(const QString &fifo)
{
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    FileReceiver::setWriteHook([fd](const char *data, qsizetype size) {
        for (qsizetype done = 0; done < size;) {
            const ssize_t wrote = ::write(fd, data + done, size_t(size - done));
            if (wrote < 0 && errno != EINTR)
                return false;
            done += qMax<ssize_t>(wrote, 0);
        }
        return true;
    });
    return fd;
}

Outcome receiveThrottled(const Source &source, int bufferSize, const Settings &settings,
                         const QString &directory, Bench::RssSampler &rss)
{
    Outcome outcome;
    const QString target = directory + QStringLiteral("/worker");
    const QString finalPath = target + QLatin1Char('/') + FileName;
    QDir().mkpath(target);
    QFile::remove(finalPath);
    const QString fifo = directory + QStringLiteral("/disk.fifo");
    if (!makeFifo(fifo)) {
        std::printf("  cannot make a FIFO in %s\n", qPrintable(target));
        return outcome;
    }
    saveFilePath.set(target);
    Bench::StandIn standIn;
    if (!standIn.start(directory + QStringLiteral("/controller"),
                       {QStringLiteral("--send"), source.path, QStringLiteral("--no-pace")})) {
        std::printf("  the stand-in did not start\n");
        return outcome;
    }
    ThrottledReader reader(fifo, settings.rate);
    const int fifoWriter = routeWritesInto(fifo);
    std::atomic<int> endCode{-1};
    Bench::RunningWorker running(bufferSize);
    receiveThread *engine = running.worker.recThread;
    QObject::connect(
        engine, &receiveThread::sendRecState, engine,
        [&endCode](int code) {
            if (code != RecStarted && code != RecProgress && code != RecRawData)
                endCode = code;
        },
        Qt::DirectConnection);
    // The codes also reach this thread, as they reach the window.
    QObject window;
    QObject::connect(&running.worker, &sendThread::sendRecState, &window, [](int) {});

    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&rss] { rss.sample(); });
    rss.start();
    sampler.start(10);
    QElapsedTimer clock;
    clock.start();
    running.command(CmdConnect);
    const qint64 timeoutMs = source.size * 3000 / settings.rate + 60000;
    Bench::waitUntil([&endCode] { return endCode >= 0; }, timeoutMs);
    outcome.seconds = clock.nsecsElapsed() / 1e9;
    sampler.stop();
    rss.sample();
    outcome.endCode = endCode;
    outcome.afterKiB = Bench::statusKiB("VmRSS");
    outcome.peakChunks = engine->peakQueuedChunks();
    outcome.peakBytes = engine->peakQueuedBytes();

    // A write still blocked in the hook (after a failed receive) ends once
    // the reader drains; then the reader sees the end of the FIFO.
    reader.drain();
    FileReceiver::setWriteHook({});
    if (fifoWriter >= 0)
        ::close(fifoWriter);
    Bench::waitUntil([&reader] { return reader.done(); }, 2000);
    running.command(CmdDisconnect);
    Bench::waitUntil([&reader] { return reader.done(); }, 10000);
    outcome.readerBytes = reader.bytes();
    outcome.readerMd5Hex = reader.md5Hex();
    return outcome;
}

void benchmark(const Source &source, int bufferSize, const Settings &settings,
               const QString &directory)
{
    std::printf("\n-- bufferSize %d: %lld MiB, reader %lld bytes/s (load average before: %s)\n",
                bufferSize, static_cast<long long>(settings.sizeMiB),
                static_cast<long long>(settings.rate), qPrintable(Bench::loadAverage()));
    std::fflush(stdout);
    Bench::RssSampler rss;
    const Outcome outcome = receiveThrottled(source, bufferSize, settings, directory, rss);
    printOutcome(outcome, rss, source);
    const QString received = directory + QStringLiteral("/worker/") + FileName;
    QFile::remove(received);
}

Settings parseSettings(const QStringList &arguments)
{
    Settings settings;
    settings.sizeMiB = qBound<qint64>(1, Bench::option(arguments, "--size", 512), 8192);
    settings.rate = qMax<qint64>(100000, Bench::option(arguments, "--rate", 64000000));
    settings.bufferSizes = Bench::bufferSizesOption(arguments);
    settings.baseDirectory = Bench::textOption(arguments, "--dir", QDir::tempPath());
    return settings;
}

int run(const Settings &settings)
{
    QTemporaryDir directory(settings.baseDirectory + QStringLiteral("/bench-worker-XXXXXX"));
    Source source;
    if (!Bench::writeSourceFile(directory, settings.baseDirectory, FileName, settings.sizeMiB, 11,
                                &source))
        return 1;
    std::printf("file %lld MiB in %s (%s); stand-in --no-pace, fresh for every run\n",
                static_cast<long long>(settings.sizeMiB), qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("the engine writes into a FIFO emptied at %lld bytes/s\n",
                static_cast<long long>(settings.rate));
    std::fflush(stdout);
    for (const int bufferSize : settings.bufferSizes) {
        if (Bench::interrupted())
            break;
        benchmark(source, bufferSize, settings, directory.path());
    }
    if (Bench::interrupted())
        std::printf("\nINTERRUPTED\n");
    return Bench::interrupted() ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    Bench::catchInterrupts();
    // A reader gone early must fail the engine's write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (!QFileInfo(Bench::standInPath()).isExecutable()) {
        std::fprintf(stderr, "stand-in not found: %s\n", qPrintable(Bench::standInPath()));
        return 2;
    }
    return run(parseSettings(app.arguments()));
}
