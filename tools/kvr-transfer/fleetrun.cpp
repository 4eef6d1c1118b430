#include "fleetrun.h"

#include "exitcodes.h"
#include "interrupt.h"
#include "output.h"
#include "session.h"
#include "sharedhistory.h"

#include "transfer/protocol.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QThread>

FleetRun::FleetRun(const QList<Target> &targets, Options options, Output &output)
    : m_targets(targets), m_options(std::move(options)), m_output(output)
{
    if (!m_options.historyPath.isEmpty())
        m_history = std::make_shared<SharedHistory>(m_options.historyPath);
    // What a target that never begins says.
    for (const Target &target : targets) {
        TargetResult result;
        result.target = target;
        result.exitCode = ExitInterrupted;
        result.error = QStringLiteral("interrupted before it began");
        m_results.push_back(result);
    }
}

FleetRun::~FleetRun() = default;

// The threads report their ends queued to this one, whose loop also serves
// whatever else lives here.
QList<TargetResult> FleetRun::run()
{
    const int threads = qMin(m_options.parallel, int(m_targets.size()));
    std::vector<std::unique_ptr<QThread>> workers;
    QEventLoop loop;
    int running = threads;
    for (int at = 0; at < threads; ++at) {
        workers.emplace_back(QThread::create([this] { work(); }));
        QObject::connect(workers.back().get(), &QThread::finished, &loop, [&running, &loop] {
            if (--running == 0)
                loop.quit();
        });
        workers.back()->start();
    }
    if (threads > 0)
        loop.exec();
    for (const std::unique_ptr<QThread> &worker : workers)
        worker->wait();
    return QList<TargetResult>(m_results.cbegin(), m_results.cend());
}

void FleetRun::work()
{
    for (int at = m_next++; at < m_targets.size() && !Interrupt::requested(); at = m_next++)
        m_results[size_t(at)] = runOne(m_targets[at]);
}

TargetResult FleetRun::runOne(const Target &target)
{
    const std::unique_ptr<Output> output = m_output.forTarget(target);
    TargetResult result;
    result.target = target;
    QElapsedTimer clock;
    clock.start();
    {
        Session session(*output);
        if (m_history)
            session.shareHistory(m_history);
        result.exitCode = sendOver(session, target);
    }
    result.ms = clock.elapsed();
    result.files = output->endedFiles();
    if (result.exitCode == ExitOk) {
        result.status =
            QLatin1String(m_options.dryRun ? TargetResult::Checked : TargetResult::Sent);
    } else {
        result.error = output->failureReason();
        if (result.error.isEmpty())
            result.error = result.exitCode == ExitInterrupted
                               ? QStringLiteral("interrupted")
                               : QStringLiteral("exit code %1").arg(result.exitCode);
    }
    m_output.targetEnded(result, int(m_options.files.size()));
    return result;
}

int FleetRun::sendOver(Session &session, const Target &target)
{
    if (const int code = session.open(target.host, target.port))
        return session.notConnected(code, int(m_options.files.size()));
    QStringList paths;
    for (const PlannedFile &file : m_options.files)
        paths.append(file.path);
    int code = ExitOk;
    if (!m_options.dryRun)
        code = session.send(paths, m_options.send);
    session.close();
    return Interrupt::requested() ? ExitInterrupted : code;
}

int FleetRun::exitCodeOf(const QList<TargetResult> &results)
{
    int succeeded = 0;
    for (const TargetResult &result : results) {
        if (result.exitCode == ExitInterrupted)
            return ExitInterrupted;
        succeeded += result.succeeded() ? 1 : 0;
    }
    if (succeeded == results.size())
        return ExitOk;
    return succeeded > 0 ? ExitSomeTargetsFailed : results.first().exitCode;
}

bool planFiles(const QStringList &paths, QList<PlannedFile> *files, QString *error)
{
    for (const QString &path : paths) {
        QFile file(path);
        QCryptographicHash md5(QCryptographicHash::Md5);
        if (!file.open(QIODevice::ReadOnly) || !md5.addData(&file)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        files->append({Protocol::fileNameOf(path), QFileInfo(path).absoluteFilePath(),
                       quint64(file.size()), md5.result().toHex()});
    }
    return true;
}
