#pragma once

// Measuring tools of the benchmark: CPU and memory readings, waits, the GUI
// thread's latency and child processes. Linux only.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Measure {

inline double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds of another process's threads, to the nanosecond (from
// schedstat, where /proc/PID/stat counts clock ticks); -1 when unknown.
inline double processCpuSeconds(qint64 pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    double seconds = ids.isEmpty() ? -1 : 0;
    for (const QString &id : ids) {
        QFile schedstat(tasks.filePath(id + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            seconds += schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return seconds;
}

inline double rssMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const double pages = statm.readAll().split(' ').value(1).toDouble();
    return pages * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Value at p (0 to 100) of values, 0 when there are none.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(std::lround(p / 100.0 * double(values.size() - 1)))];
}

inline double median(const std::vector<double> &values)
{
    return percentile(values, 50);
}

// Runs the calling thread's events until done() holds; false on timeout.
// A timer wakes the loop, so waiting costs next to no CPU.
template <typename Done> bool waitUntil(Done done, qint64 timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (waited.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline void settle(int ms)
{
    QElapsedTimer waited;
    waited.start();
    waitUntil([&] { return waited.elapsed() >= ms; }, ms + 1000);
}

// Calls sample() every periodMs in a thread of its own, so that a busy
// GUI thread cannot hide what happens meanwhile.
class Ticker
{
public:
    template <typename Sample>
    Ticker(int periodMs, Sample sample)
        : m_thread([this, periodMs, sample] {
              while (!m_stop) {
                  sample();
                  std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
              }
          })
    {}
    ~Ticker() { stop(); }
    Ticker(const Ticker &) = delete;
    Ticker &operator=(const Ticker &) = delete;
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Peak VmRSS above what it was at construction, sampled every 5 ms.
class PeakRss
{
public:
    PeakRss() : m_idle(rssMiB()), m_peak(m_idle), m_ticker(5, [this] { sample(); }) {}
    double idleMiB() const { return m_idle; }
    // Stops sampling.
    double aboveIdleMiB()
    {
        m_ticker.stop();
        return m_peak.load() - m_idle;
    }

private:
    void sample()
    {
        const double now = rssMiB();
        if (now > m_peak)
            m_peak = now;
    }
    const double m_idle;
    std::atomic<double> m_peak;
    Ticker m_ticker;
};

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How long an event posted to the GUI thread waits there: one is posted
// every 10 ms and timed until it runs. A backlog of queued reports shows as
// much as a slot that blocks.
class GuiLatency
{
public:
    GuiLatency() : m_ticker(10, [this] { post(); }) {}
    // Stops posting; runs the events until the last one posted was handled,
    // or counts those still waiting at their age then.
    std::vector<double> millisecondsWaited(qint64 timeoutMs)
    {
        m_ticker.stop();
        waitUntil([this] { return int(m_waited.size()) == m_posted.load(); }, timeoutMs);
        std::vector<double> waited = m_waited;
        waited.resize(size_t(m_posted.load()), double(nowNs() - m_lastPostNs) / 1e6);
        return waited;
    }

private:
    void post()
    {
        const qint64 postedNs = nowNs();
        m_lastPostNs = postedNs;
        ++m_posted;
        QMetaObject::invokeMethod(
            &m_target, [this, postedNs] { m_waited.push_back((nowNs() - postedNs) / 1e6); },
            Qt::QueuedConnection);
    }
    QObject m_target; // of the GUI thread
    std::vector<double> m_waited;
    std::atomic<int> m_posted{0};
    std::atomic<qint64> m_lastPostNs{0};
    Ticker m_ticker; // last: starts once the rest is set up
};

// A child process that dies with the benchmark, however that ends.
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

protected:
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// True once something listens on 127.0.0.1:port (state 0A in /proc/net/tcp).
inline bool listening(quint16 port)
{
    QFile tcp(QStringLiteral("/proc/net/tcp"));
    if (!tcp.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local =
        "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = tcp.readAll().split('\n');
    return std::any_of(lines.cbegin(), lines.cend(), [&local](const QByteArray &line) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        return fields.size() > 3 && fields.at(1) == local && fields.at(3) == "0A";
    });
}

} // namespace Measure
