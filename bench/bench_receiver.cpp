// Receive throughput with the network taken out: a framed stream built once
// in memory is fed in 12000-byte chunks, first straight into FileReceiver,
// then through receiveThread. Baselines for the file writes and the MD5
// alone show where the time goes.
//
// Usage: bench_receiver [--size MiB] [--rounds N] [--batch CHUNKS]

#include "benchsupport.h"
#include "transfer/transfercodes.h"
#include "tests/testfiles.h"
#include "transfer/filereceiver.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "transfer/sharedvalues.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr int ChunkSize = 12000;
const QString FileName = QStringLiteral("bench-receiver.bin");

struct Settings
{
    qint64 sizeMiB = 256;
    int rounds = 3;
    int batch = 64; // chunks per appendChunks, like one burst off the socket
};

struct Run
{
    double seconds = 0;
    double cpuSeconds = 0;
    int endCode = -1;
    quint64 fileBytes = 0;
    int progressCodes = 0;
};

void printRun(const char *label, const Run &run, qint64 contentBytes)
{
    const bool ok = run.endCode == RecDone && run.fileBytes == quint64(contentBytes);
    std::printf("%-34s %8.1f MB/s  %6.3f s  cpu %6.3f s  %s\n", label,
                Bench::megabytesPerSecond(double(contentBytes), run.seconds), run.seconds,
                run.cpuSeconds, ok ? "RecDone" : "FAILED");
    if (!ok)
        std::printf("    end code %d, %llu of %lld bytes\n", run.endCode,
                    static_cast<unsigned long long>(run.fileBytes),
                    static_cast<long long>(contentBytes));
    std::fflush(stdout);
}

Run feedDirectly(const QList<QByteArray> &chunks, const QString &directory)
{
    Run run;
    FileReceiver receiver([directory] { return directory; },
                          [&run](int code, const FileReceiver &r) {
                              if (code == RecProgress)
                                  ++run.progressCodes;
                              else if (code != RecStarted)
                                  run.endCode = code;
                              run.fileBytes = r.fileBytes();
                          });
    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &chunk : chunks)
        receiver.feed(chunk, clock.elapsed());
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = Bench::cpuSeconds() - cpuBefore;
    return run;
}

Run feedThroughThread(const QList<QByteArray> &chunks, const QString &directory, int batch)
{
    Run run;
    saveFilePath.set(directory);
    receiveThread thread;
    QEventLoop loop;
    QObject::connect(&thread, &receiveThread::sendRecState, &loop, [&](int code) {
        if (code == RecProgress) {
            ++run.progressCodes;
        } else if (code != RecStarted) {
            run.endCode = code;
            run.fileBytes = recFileBytes.load();
            loop.quit();
        }
    });
    QTimer::singleShot(120 * 1000, &loop, &QEventLoop::quit);
    thread.start();

    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    for (int at = 0; at < chunks.size(); at += batch)
        thread.appendChunks(chunks.mid(at, batch));
    loop.exec();
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = Bench::cpuSeconds() - cpuBefore;

    thread.stop();
    thread.quit();
    thread.wait();
    return run;
}

// What the disk alone costs: the same chunks written the way the receiver
// writes them, unbuffered.
Run writeOnly(const QList<QByteArray> &chunks, const QString &path)
{
    Run run;
    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        for (const QByteArray &chunk : chunks)
            run.fileBytes += quint64(qMax<qint64>(0, file.write(chunk)));
        file.close();
        run.endCode = RecDone;
    }
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = Bench::cpuSeconds() - cpuBefore;
    QFile::remove(path);
    return run;
}

Run hashOnly(const QList<QByteArray> &chunks)
{
    Run run;
    const double cpuBefore = Bench::cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (const QByteArray &chunk : chunks) {
        hash.addData(chunk);
        run.fileBytes += quint64(chunk.size());
    }
    run.endCode = hash.result().isEmpty() ? -1 : RecDone;
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.cpuSeconds = Bench::cpuSeconds() - cpuBefore;
    return run;
}

// Random contents can hold the end marker by chance; the run without the
// MD5 section would then end early, so such contents are not used.
QByteArray makeContents(qint64 size)
{
    for (quint32 seed = 1;; ++seed) {
        QByteArray contents = Bench::randomBytes(size, seed);
        if (!contents.contains(Protocol::endMarker()))
            return contents;
    }
}

void runBaselines(const QByteArray &contents, const QString &directory, const Settings &settings)
{
    Bench::heading("baselines (same 12000-byte chunks, no parser)");
    const QList<QByteArray> chunks = Bench::chunkViews(contents, ChunkSize);
    for (int round = 1; round <= settings.rounds; ++round) {
        printRun("unbuffered file writes only", writeOnly(chunks, directory + QStringLiteral("/w")),
                 contents.size());
        printRun("MD5 only", hashOnly(chunks), contents.size());
    }
}

void runVariant(const QByteArray &contents, bool withMd5, const QString &directory,
                const Settings &settings)
{
    Bench::heading(withMd5 ? "stream with the MD5 section (contents taken by size)"
                           : "stream without the MD5 section (end marker searched)");
    const QByteArray stream = TestFiles::framed(FileName, contents, withMd5);
    const QList<QByteArray> chunks = Bench::chunkViews(stream, ChunkSize);
    const QString target = directory + QLatin1Char('/') + FileName;
    for (int round = 1; round <= settings.rounds; ++round) {
        printRun("FileReceiver::feed", feedDirectly(chunks, directory), contents.size());
        QFile::remove(target);
        const Run threaded = feedThroughThread(chunks, directory, settings.batch);
        printRun("receiveThread (appendChunks)", threaded, contents.size());
        std::printf("    %d RecProgress signals for %d chunks\n", threaded.progressCodes,
                    int(chunks.size()));
        QFile::remove(target);
    }
}

Settings parseSettings(const QStringList &arguments)
{
    Settings settings;
    settings.sizeMiB = qBound<qint64>(1, Bench::option(arguments, "--size", 256), 1024);
    settings.rounds = int(qBound<qint64>(1, Bench::option(arguments, "--rounds", 3), 10));
    settings.batch = int(qBound<qint64>(1, Bench::option(arguments, "--batch", 64), 100000));
    return settings;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Bench::silenceDebugOutput();
    const Settings settings = parseSettings(app.arguments());
    QTemporaryDir directory;
    if (!directory.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    std::printf("contents: %lld MiB in %d-byte chunks, %d per appendChunks, %d rounds\n",
                static_cast<long long>(settings.sizeMiB), ChunkSize, settings.batch,
                settings.rounds);
    std::printf("files written to %s (%s)\n", qPrintable(directory.path()),
                qPrintable(Bench::fileSystemOf(directory.path())));
    std::printf("MB/s = 10^6 content bytes per second; files land in the page cache\n");

    const QByteArray contents = makeContents(settings.sizeMiB * 1024 * 1024);
    runBaselines(contents, directory.path(), settings);
    runVariant(contents, true, directory.path(), settings);
    runVariant(contents, false, directory.path(), settings);
    return 0;
}
