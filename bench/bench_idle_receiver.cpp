// CPU of a receive engine with nothing to do: the window that waits for a
// controller keeps its receiveThread running for hours, so an idle loop
// must sleep rather than poll. Measured once for a fresh thread and once
// after a transfer, while the main thread sleeps.
//
// Usage: bench_idle_receiver [--seconds S]   (default 10 per window)

#include "benchsupport.h"
#include "transfer/transfercodes.h"
#include "tests/testfiles.h"
#include "transfer/receivethread.h"
#include "transfer/sharedvalues.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// CPU seconds (-1: unknown) and wake-ups of one thread, from
// /proc/self/task/<tid>/.
struct ThreadTimes
{
    double cpuSeconds = -1;
    qint64 switches = -1;
};

ThreadTimes threadTimes(const QString &task)
{
    ThreadTimes times;
    times.cpuSeconds = Bench::statCpuSeconds(task + QStringLiteral("/stat"));
    QFile status(task + QStringLiteral("/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = status.readAll().split('\n');
        times.switches = 0;
        for (const QByteArray &line : lines) {
            if (line.contains("ctxt_switches:"))
                times.switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return times;
}

void idleWindow(const char *label, qint64 seconds, const QString &task)
{
    const ThreadTimes threadBefore = threadTimes(task);
    const double cpuBefore = Bench::cpuSeconds();
    const long switchesBefore = Bench::contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = Bench::cpuSeconds() - cpuBefore;
    const long switches = Bench::contextSwitches() - switchesBefore;
    const ThreadTimes threadAfter = threadTimes(task);

    std::printf("\n-- %s, %lld s\n", label, static_cast<long long>(seconds));
    std::printf("  process cpu %.4f s = %.3f%% of one core (goal < 1%%), %.1f context "
                "switches/s\n",
                cpu, 100.0 * cpu / double(seconds), double(switches) / double(seconds));
    if (threadBefore.cpuSeconds >= 0 && threadAfter.cpuSeconds >= 0) {
        const double tick = 1.0 / double(sysconf(_SC_CLK_TCK));
        std::printf("  receive thread %.2f s of cpu (tick %.0f ms), %.1f wake-ups/s\n",
                    threadAfter.cpuSeconds - threadBefore.cpuSeconds, tick * 1000,
                    double(threadAfter.switches - threadBefore.switches) / double(seconds));
    }
    std::fflush(stdout);
}

// One small file through the engine, so that the second window starts from
// an engine that has worked and gone idle again.
bool receiveOneFile(receiveThread &thread)
{
    int endCode = -1;
    QEventLoop loop;
    QObject::connect(&thread, &receiveThread::sendRecState, &loop, [&](int code) {
        if (code != RecStarted && code != RecProgress) {
            endCode = code;
            loop.quit();
        }
    });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    const QByteArray stream =
        TestFiles::framed(QStringLiteral("idle.bin"), Bench::randomBytes(100000, 7));
    thread.appendChunks(TestFiles::chunked(stream, 12000));
    loop.exec();
    return endCode == RecDone;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 seconds = qBound<qint64>(1, Bench::option(app.arguments(), "--seconds", 10), 600);
    QTemporaryDir directory;
    if (!directory.isValid())
        return 1;
    saveFilePath.set(directory.path());

    receiveThread thread;
    thread.start();
    QThread::msleep(200); // let it reach its wait
    const QString task = Bench::threadTasks("receiveThread").value(0);
    std::printf("receive thread %s\n", task.isEmpty() ? "not found in /proc (per-thread "
                                                        "figures left out)"
                                                      : qPrintable(task));

    idleWindow("fresh receive thread", seconds, task);
    const bool received = receiveOneFile(thread);
    std::printf("\none 100000-byte file: %s\n", received ? "RecDone" : "FAILED");
    QThread::msleep(200);
    idleWindow("after one transfer", seconds, task);

    thread.stop();
    thread.quit();
    thread.wait();
    return received ? 0 : 1;
}
