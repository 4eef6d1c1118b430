// Memory of a long send to a slow reader: the controller stand-in reads at
// a fixed rate, so TCP pushes back and the sender must hold its queue short
// instead of buffering the file. VmRSS is sampled by a timer of the sending
// thread, which fires inside the sender's own event processing.
//
// Usage: bench_sender_memory [STAND-IN] [--size MiB] [--buffer BYTES]
//                            [--read-rate BYTES_PER_S] [--port N]
// STAND-IN defaults to the kvr-controller-sim of the same build tree.

#include "benchsupport.h"
#include "transfer/transfercodes.h"
#include "tests/testfiles.h"
#include "transfer/filesender.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const QString FileName = QStringLiteral("memory-bench.bin");

struct Settings
{
    QString standIn;
    qint64 sizeMiB = 512;
    int bufferSize = 65536;
    qint64 readRate = 8000000;
    quint16 port = 8080;
};

Settings parseSettings(const QStringList &arguments)
{
    Settings settings;
    settings.sizeMiB = qBound<qint64>(1, Bench::option(arguments, "--size", 512), 4096);
    settings.bufferSize = Bench::bufferSizeOption(arguments, 65536);
    settings.readRate = qMax<qint64>(1000, Bench::option(arguments, "--read-rate", 8000000));
    settings.port = quint16(qBound<qint64>(1, Bench::option(arguments, "--port", 8080), 65535));
    settings.standIn = Bench::standInPath();
    // A first argument that is no option names the stand-in.
    if (arguments.size() > 1 && !arguments.at(1).startsWith(QLatin1String("--")))
        settings.standIn = arguments.at(1);
    return settings;
}

// Reads the stand-in's output line by line, waiting up to timeoutMs for a
// line that contains text. Earlier lines are echoed, indented.
class StandInOutput
{
public:
    explicit StandInOutput(QProcess &process) : m_process(process) {}

    bool waitFor(const QString &text, int timeoutMs)
    {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            while (m_process.canReadLine()) {
                const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
                std::printf("  stand-in: %s\n", qPrintable(line));
                if (line.contains(text))
                    return true;
            }
            const qint64 left = timeoutMs - waited.elapsed();
            if (left <= 0 || m_process.state() == QProcess::NotRunning)
                return false;
            QEventLoop loop;
            QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &loop,
                             &QEventLoop::quit);
            QObject::connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                             &loop, &QEventLoop::quit);
            QTimer::singleShot(int(qMin<qint64>(left, 200)), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }

private:
    QProcess &m_process;
};

bool startStandIn(QProcess &process, StandInOutput &output, const Settings &settings,
                  const QString &directory)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(settings.standIn,
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                   QStringLiteral("--port"), QString::number(settings.port),
                   QStringLiteral("--dir"), directory, QStringLiteral("--read-rate"),
                   QString::number(settings.readRate)});
    return process.waitForStarted(5000) && output.waitFor(QStringLiteral("listening on"), 10000);
}

struct SendTimes
{
    double hashSeconds = 0; // from the call to TransStarted
    double sendSeconds = 0; // from TransStarted to the end code
};

int sendSampled(QTcpSocket &socket, const QString &path, const Settings &settings,
                Bench::RssSampler &rss, SendTimes *times)
{
    TestFiles::SendFields fields;
    fields.bufferSize = settings.bufferSize;
    QTimer sampler;
    sampler.setInterval(20);
    QObject::connect(&sampler, &QTimer::timeout, [&rss] { rss.sample(); });
    QElapsedTimer clock;
    FileSender sender(fields.refs(), [&](int code) {
        if (code == TransStarted)
            times->hashSeconds = clock.restart() / 1e3;
    });
    sampler.start();
    clock.start();
    const int code = sender.send(&socket, path);
    sampler.stop();
    times->sendSeconds = clock.nsecsElapsed() / 1e9;
    return code;
}

void printMemory(const Bench::RssSampler &rss, const SendTimes &times, qint64 fileSize)
{
    const qint64 growth = rss.peakKiB - rss.idleKiB;
    std::printf("  MD5 pass %.2f s, then send %.1f s, %.2f MB/s\n", times.hashSeconds,
                times.sendSeconds, fileSize / times.sendSeconds / 1e6);
    std::printf("  VmRSS idle %lld KiB, peak %lld KiB (at %.1f s), peak - idle %lld KiB "
                "(%.2f MiB; goal < 32 MiB)\n",
                static_cast<long long>(rss.idleKiB), static_cast<long long>(rss.peakKiB),
                rss.peakAtMs / 1000.0, static_cast<long long>(growth), growth / 1024.0);
    std::printf("  %d samples every 20 ms, longest gap %lld ms; VmHWM of the whole process "
                "%lld KiB\n",
                rss.samples, static_cast<long long>(rss.longestGapMs),
                static_cast<long long>(Bench::statusKiB("VmHWM")));
}

int run(const Settings &settings)
{
    QTemporaryDir directory;
    const QString received = directory.path() + QStringLiteral("/controller");
    const QString path = directory.path() + QLatin1Char('/') + FileName;
    const qint64 fileSize = settings.sizeMiB * 1024 * 1024;
    QFile file(path);
    // Sparse: the sender reads zeros without the disk having to hold them.
    if (!directory.isValid() || !QDir().mkpath(received) || !file.open(QIODevice::WriteOnly) ||
        !file.resize(fileSize)) {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(path));
        return 1;
    }
    file.close();
    std::printf("file %lld MiB (sparse) in %s (%s)\n", static_cast<long long>(settings.sizeMiB),
                qPrintable(directory.path()), qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("bufferSize %d, stand-in reads %lld bytes/s\n", settings.bufferSize,
                static_cast<long long>(settings.readRate));
    std::fflush(stdout);

    Bench::ChildProcess process;
    StandInOutput output(process);
    if (!startStandIn(process, output, settings, received)) {
        std::fprintf(stderr, "stand-in did not start: %s\n", qPrintable(settings.standIn));
        return 1;
    }
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, settings.port);
    if (!socket.waitForConnected(5000) || !output.waitFor(QStringLiteral("connected"), 5000)) {
        std::fprintf(stderr, "no connection to the stand-in\n");
        return 1;
    }

    Bench::RssSampler rss;
    rss.start();
    SendTimes times;
    const int code = sendSampled(socket, path, settings, rss, &times);
    std::printf("  sender returned %s\n", code == TransDone ? "TransDone" : "a failure code");
    const bool arrived = output.waitFor(QStringLiteral("file received"), 60000);
    std::printf("  %s\n", arrived ? "the stand-in confirmed the file" : "NO CONFIRMATION");
    printMemory(rss, times, fileSize);

    socket.disconnectFromHost();
    process.stop();
    return code == TransDone && arrived ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    const Settings settings = parseSettings(app.arguments());
    if (!QFileInfo(settings.standIn).isExecutable()) {
        std::fprintf(stderr, "stand-in not found: %s\n", qPrintable(settings.standIn));
        return 2;
    }
    std::printf("stand-in %s\n", qPrintable(QDir::cleanPath(settings.standIn)));
    return run(settings);
}
