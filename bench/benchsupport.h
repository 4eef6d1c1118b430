#pragma once

// Small helpers shared by the benchmarks: clocks, memory readings, file
// contents, options, printing, child processes, a discarding peer and the
// network worker. Linux only, like the benchmarks themselves.

#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "transfer/filesender.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QList>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Bench {

// The engine logs every MD5 it computes; that would bury the figures.
inline void silenceDebugOutput()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

// CPU seconds (user + system) of the process (RUSAGE_SELF) or of the calling
// thread (RUSAGE_THREAD).
inline double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline long contextSwitches(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// A "VmRSS"-style line of /proc/self/status, in KiB; -1 when missing.
inline qint64 statusKiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The mount that holds path, as "type device on mountpoint", so that a
// throughput can be read against the file system that took the writes.
inline QString fileSystemOf(const QString &path)
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    QString best;
    QString description = QStringLiteral("unknown");
    const QList<QByteArray> lines = mounts.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3)
            continue;
        const QString mountPoint = QString::fromUtf8(fields.at(1));
        const bool inside = path == mountPoint || mountPoint == QLatin1String("/") ||
                            path.startsWith(mountPoint + QLatin1Char('/'));
        if (inside && mountPoint.size() >= best.size()) {
            best = mountPoint;
            description = QString::fromUtf8(fields.at(2)) + QLatin1Char(' ') +
                          QString::fromUtf8(fields.at(0)) + QStringLiteral(" on ") + mountPoint;
        }
    }
    return description;
}

// Pseudo-random bytes, word by word: a per-byte generator would take longer
// than the runs it feeds.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qsizetype words = size / qsizetype(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), words);
    for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
        bytes[int(i)] = char(generator.generate());
    return bytes;
}

// Writes size pseudo-random bytes to path, one reused piece at a time.
inline bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 pieceSize = 4 * 1024 * 1024;
    const QByteArray piece = randomBytes(pieceSize, seed);
    for (qint64 left = size; left > 0; left -= pieceSize) {
        const qint64 take = qMin(left, pieceSize);
        if (file.write(piece.constData(), take) != take)
            return false;
    }
    return file.flush();
}

// Views of data in pieces of size bytes; they share data's memory, which
// must outlive them.
inline QList<QByteArray> chunkViews(const QByteArray &data, int size)
{
    QList<QByteArray> chunks;
    chunks.reserve(data.size() / size + 1);
    for (int at = 0; at < data.size(); at += size)
        chunks.append(QByteArray::fromRawData(data.constData() + at, qMin(size, data.size() - at)));
    return chunks;
}

inline double megabytesPerSecond(double bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / 1e6 : 0.0;
}

inline void heading(const char *text)
{
    std::printf("\n-- %s\n", text);
    std::fflush(stdout);
}

// "--name value" from the arguments, or fallback.
inline qint64 option(const QStringList &arguments, const char *name, qint64 fallback)
{
    const int at = arguments.indexOf(QLatin1String(name));
    if (at < 0 || at + 1 >= arguments.size())
        return fallback;
    bool ok = false;
    const qint64 value = arguments.at(at + 1).toLongLong(&ok);
    return ok ? value : fallback;
}

// "--name text" from the arguments, or fallback.
inline QString textOption(const QStringList &arguments, const char *name, const QString &fallback)
{
    const int at = arguments.indexOf(QLatin1String(name));
    return at < 0 || at + 1 >= arguments.size() ? fallback : arguments.at(at + 1);
}

// "--buffer BYTES" held to what the sender takes, or fallback.
inline int bufferSizeOption(const QStringList &arguments, qint64 fallback)
{
    return int(qBound<qint64>(FileSender::MinBufferSize, option(arguments, "--buffer", fallback),
                              FileSender::MaxBufferSize));
}

// The one bufferSize "--buffer" names, or else the window's two.
inline QList<int> bufferSizesOption(const QStringList &arguments)
{
    if (option(arguments, "--buffer", 0) <= 0)
        return {12000, 65536};
    return {bufferSizeOption(arguments, 0)};
}

inline QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    const QList<QByteArray> fields = file.readAll().split(' ');
    return QString::fromLatin1(fields.mid(0, 3).join(' '));
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Value at percentile p (0 to 100) of sorted, non-empty values.
inline qint64 percentile(const std::vector<qint64> &sorted, double p)
{
    return sorted[size_t(p / 100.0 * double(sorted.size() - 1) + 0.5)];
}

// The spread of the times between consecutive TransProgress codes: a paced
// sender writes one block per millisecond at most.
inline void printBlockPeriods(std::vector<qint64> periodsNs)
{
    if (periodsNs.empty())
        return;
    std::sort(periodsNs.begin(), periodsNs.end());
    const auto over = [&periodsNs](qint64 limitNs) {
        return static_cast<long long>(
            periodsNs.end() - std::upper_bound(periodsNs.begin(), periodsNs.end(), limitNs));
    };
    std::printf("  block period us: p50 %.1f, p90 %.1f, p99 %.1f, max %.1f; "
                "%lld over 1.1 ms, %lld over 2 ms\n",
                percentile(periodsNs, 50) / 1e3, percentile(periodsNs, 90) / 1e3,
                percentile(periodsNs, 99) / 1e3, double(periodsNs.back()) / 1e3, over(1100000),
                over(2000000));
}

// User + system seconds from a /proc stat file; -1 when it cannot be read.
inline double statCpuSeconds(const QString &statPath)
{
    QFile file(statPath);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    // The command name may hold spaces: count the fields after its ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = double(fields.at(11).toLongLong() + fields.at(12).toLongLong());
    return ticks / double(sysconf(_SC_CLK_TCK));
}

inline double processCpuSeconds(qint64 pid)
{
    return statCpuSeconds(QStringLiteral("/proc/%1/stat").arg(pid));
}

// The /proc/self/task/<tid> directories of this process's threads called
// name (QThread names a thread after its objectName, or else its class; at
// most 15 characters).
inline QStringList threadTasks(const QByteArray &name)
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    QStringList named;
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile comm(tasks.filePath(id + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            named.append(tasks.filePath(id));
    }
    return named;
}

// CPU seconds of this process's threads called name. Ticks of 10 ms: good
// for runs of seconds.
inline double threadCpuSeconds(const QByteArray &name)
{
    double seconds = 0;
    const QStringList tasks = threadTasks(name);
    for (const QString &task : tasks)
        seconds += qMax(0.0, statCpuSeconds(task + QStringLiteral("/stat")));
    return seconds;
}

// Peak VmRSS over a run, taken by a timer that calls sample().
struct RssSampler
{
    qint64 idleKiB = 0;
    qint64 peakKiB = 0;
    qint64 peakAtMs = 0;
    qint64 lastAtMs = 0;
    qint64 longestGapMs = 0;
    int samples = 0;
    QElapsedTimer clock;

    void start()
    {
        idleKiB = peakKiB = statusKiB("VmRSS");
        clock.start();
    }
    void sample()
    {
        const qint64 rss = statusKiB("VmRSS");
        const qint64 now = clock.elapsed();
        ++samples;
        longestGapMs = qMax(longestGapMs, now - lastAtMs);
        lastAtMs = now;
        if (rss > peakKiB) {
            peakKiB = rss;
            peakAtMs = now;
        }
    }
};

// -1 when path does not exist. Not QFileInfo: polled in tight loops.
inline qint64 sizeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? qint64(info.st_size) : -1;
}

// Writes size pseudo-random bytes to path, no piece the same as another, so
// that a piece received out of place shows. md5Hex gets the digest.
inline bool writeUniqueRandomFile(const QString &path, qint64 size, quint32 seed,
                                  QByteArray *md5Hex)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    const qint64 pieceSize = 4 * 1024 * 1024;
    for (qint64 left = size; left > 0; left -= pieceSize) {
        const QByteArray piece = randomBytes(qMin(left, pieceSize), seed++);
        hash.addData(piece);
        if (file.write(piece) != piece.size())
            return false;
    }
    *md5Hex = hash.result().toHex();
    return file.flush();
}

// A file for the stand-in to send.
struct SourceFile
{
    QString path;
    qint64 size = 0;
    QByteArray md5Hex;
};

// Writes sizeMiB of unique random bytes to "source/<fileName>" in directory,
// a temporary one made under baseDirectory; says so when it cannot.
inline bool writeSourceFile(const QTemporaryDir &directory, const QString &baseDirectory,
                            const QString &fileName, qint64 sizeMiB, quint32 seed,
                            SourceFile *source)
{
    source->path = directory.path() + QStringLiteral("/source/") + fileName;
    source->size = sizeMiB * 1024 * 1024;
    if (directory.isValid() && QDir().mkpath(QFileInfo(source->path).path()) &&
        writeUniqueRandomFile(source->path, source->size, seed, &source->md5Hex))
        return true;
    std::fprintf(stderr, "cannot write %lld MiB under %s\n", static_cast<long long>(sizeMiB),
                 qPrintable(baseDirectory));
    return false;
}

// True when length bytes of a from offsetA equal those of b from offsetB.
inline bool sameBytes(const QString &a, qint64 offsetA, const QString &b, qint64 offsetB,
                      qint64 length)
{
    QFile fileA(a);
    QFile fileB(b);
    if (!fileA.open(QIODevice::ReadOnly) || !fileB.open(QIODevice::ReadOnly) ||
        !fileA.seek(offsetA) || !fileB.seek(offsetB))
        return false;
    const qint64 pieceSize = 4 * 1024 * 1024;
    for (qint64 left = length; left > 0; left -= pieceSize) {
        const qint64 take = qMin(left, pieceSize);
        const QByteArray pieceA = fileA.read(take);
        if (pieceA.size() != take || pieceA != fileB.read(take))
            return false;
    }
    return true;
}

// Set by SIGINT, SIGTERM or SIGHUP once catchInterrupts() has run. The
// waits below then give up, so that the benchmark unwinds and its large
// temporary files and child processes go with it.
inline std::atomic<bool> interruptRequested{false};

inline void catchInterrupts()
{
    struct sigaction action
    {
    };
    action.sa_handler = [](int) { interruptRequested = true; };
    // A second signal ends the program the ordinary way.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

inline bool interrupted()
{
    return interruptRequested.load();
}

// Runs the calling thread's events until done() holds. False after timeoutMs
// or on an interrupt. A timer wakes the loop: waiting costs no CPU.
template <typename Done> bool waitUntil(Done done, qint64 timeoutMs, int tickMs = 5)
{
    QElapsedTimer waited;
    waited.start();
    QTimer tick;
    tick.start(tickMs);
    while (!done()) {
        if (interrupted() || waited.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A child process that is stopped with its object and killed with the
// benchmark, however the benchmark ends.
class ChildProcess : public QProcess
{
public:
    ~ChildProcess() override { stop(); }

    void stop()
    {
        if (state() == NotRunning)
            return;
        terminate();
        if (!waitForFinished(5000)) {
            kill();
            waitForFinished(2000);
        }
    }
    double cpuSeconds() const { return processId() > 0 ? processCpuSeconds(processId()) : -1; }

protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

inline QString standInPath()
{
#ifdef KVR_CONTROLLER_SIM
    return QString::fromUtf8(KVR_CONTROLLER_SIM);
#else
    return QCoreApplication::applicationDirPath() +
           QStringLiteral("/../tools/kvr-controller-sim/kvr-controller-sim");
#endif
}

// A peer on 127.0.0.1 that accepts connections in its own thread
// ("discarder") and throws away what arrives, as fast as it can. Hashed, it
// also takes the MD5 of each connection's bytes.
class DiscardingReader
{
public:
    enum Contents { Discarded, Hashed };

    // Port 0: any free one.
    explicit DiscardingReader(quint16 port = 0, Contents contents = Discarded)
        : m_hashing(contents == Hashed)
    {
        m_thread.setObjectName(QStringLiteral("discarder"));
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            &m_context, [this, port] { listen(port); }, Qt::BlockingQueuedConnection);
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

    bool listening() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    // Over all connections.
    quint64 received() const { return m_received.load(); }
    int connections() const { return m_connections.load(); }
    // Of the latest connection's bytes so far.
    QByteArray md5Hex()
    {
        QByteArray digest;
        QMetaObject::invokeMethod(
            &m_context, [this, &digest] { digest = m_hash.result().toHex(); },
            Qt::BlockingQueuedConnection);
        return digest;
    }

private:
    void listen(quint16 port)
    {
        m_server = new QTcpServer;
        QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] { accept(); });
        if (m_server->listen(QHostAddress::LocalHost, port))
            m_port = m_server->serverPort();
    }
    void accept()
    {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setParent(m_server);
            m_hash.reset();
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
            if (m_hashing)
                m_hash.addData(buffer, int(n));
            m_received += quint64(n);
        }
    }

    const bool m_hashing;
    QThread m_thread;
    QObject m_context;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    std::atomic<quint64> m_received{0};
    std::atomic<int> m_connections{0};
};

// The controller stand-in on 127.0.0.1:8080, its output lines collected.
class StandIn
{
public:
    // Waits until it listens; options come after --listen, --port and --dir.
    bool start(const QString &directory, const QStringList &options)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(standInPath(),
                        QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("--port"), QStringLiteral("8080"),
                                    QStringLiteral("--dir"), directory} +
                            options);
        return m_process.waitForStarted(5000) && waitForLine(QStringLiteral("listening on"), 10000);
    }
    bool waitForLine(const QString &text, qint64 timeoutMs)
    {
        return waitUntil([&] { return hasLine(text) || m_process.state() == QProcess::NotRunning; },
                         timeoutMs) &&
               hasLine(text);
    }
    bool hasLine(const QString &text)
    {
        while (m_process.canReadLine())
            m_lines.append(QString::fromUtf8(m_process.readLine()).trimmed());
        return std::any_of(m_lines.cbegin(), m_lines.cend(),
                           [&text](const QString &line) { return line.contains(text); });
    }
    QStringList lines() const { return m_lines; }
    double cpuSeconds() const { return m_process.cpuSeconds(); }
    void stop() { m_process.stop(); }

private:
    ChildProcess m_process;
    QStringList m_lines;
};

// The network worker as the window runs it: the object moved into its own
// thread and started, its controller at 127.0.0.1. Stopped with its object.
class RunningWorker
{
public:
    explicit RunningWorker(int bufferSize)
    {
        worker.bufferSize = bufferSize;
        worker.controllerAddress.set(QStringLiteral("127.0.0.1"));
        worker.moveToThread(&worker);
        worker.start();
        // The constructor's socket reads into a buffer of the default size;
        // the one CmdDisconnect makes while unconnected follows bufferSize.
        command(CmdDisconnect);
    }
    ~RunningWorker()
    {
        worker.requestShutdown();
        worker.quit();
        worker.wait();
    }
    RunningWorker(const RunningWorker &) = delete;
    RunningWorker &operator=(const RunningWorker &) = delete;

    void command(int code)
    {
        QMetaObject::invokeMethod(&worker, "handleCmd", Qt::QueuedConnection, Q_ARG(int, code));
    }

    sendThread worker;
};

} // namespace Bench
