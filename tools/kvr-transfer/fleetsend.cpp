#include "fleetsend.h"

#include "command.h"
#include "exitcodes.h"
#include "fleetrun.h"
#include "output.h"
#include "runreport.h"

#include <QCommandLineParser>
#include <QDir>

namespace {

const QString TargetsOption = QStringLiteral("targets");
const QString ToOption = QStringLiteral("to");
const QString ParallelOption = QStringLiteral("parallel");
const QString DryRunOption = QStringLiteral("dry-run");
const QString ReportOption = QStringLiteral("report");
const QString JUnitOption = QStringLiteral("junit");
const QString RetryOption = QStringLiteral("retry-failed");

} // namespace

QList<QCommandLineOption> FleetSend::options()
{
    return {
        {TargetsOption,
         QStringLiteral("Send to every controller in FILE: one a line, host or host:port, then a "
                        "label; # starts a comment. --to may also be given several times."),
         QStringLiteral("FILE")},
        {ParallelOption,
         QStringLiteral("Controllers at once, 1 to %1 (default 4).").arg(MaxParallel),
         QStringLiteral("N")},
        {DryRunOption,
         QStringLiteral("Connect to every controller and hash every file; send nothing.")},
        {ReportOption,
         QStringLiteral("Write the result of each controller to FILE as JSON, also when some "
                        "fail or the run is interrupted."),
         QStringLiteral("FILE")},
        {JUnitOption, QStringLiteral("Write one JUnit testcase per controller to FILE."),
         QStringLiteral("FILE")},
        {RetryOption,
         QStringLiteral("Send again to the controllers that failed in REPORT, the files it "
                        "names."),
         QStringLiteral("REPORT")},
    };
}

bool FleetSend::read(const QCommandLineParser &parser, quint16 defaultPort, QStringList *files,
                     QString *error)
{
    m_dryRun = parser.isSet(DryRunOption);
    m_report = parser.value(ReportOption);
    m_junit = parser.value(JUnitOption);
    m_on = parser.values(ToOption).size() > 1 || parser.isSet(TargetsOption) ||
           parser.isSet(RetryOption) || m_dryRun || parser.isSet(ReportOption) ||
           parser.isSet(JUnitOption);
    qint64 parallel = m_parallel;
    if (!Command::readNumber(parser, "parallel", 1, MaxParallel, &parallel, error))
        return false;
    m_parallel = int(parallel);
    if (!m_on)
        return true;
    const bool read = parser.isSet(RetryOption) ? readRetry(parser, defaultPort, files, error)
                                                : readTargets(parser, defaultPort, error);
    if (!read)
        return false;
    for (const QString &path : {m_report, m_junit}) {
        if (!path.isEmpty() && !RunReport::canWrite(path, error))
            return false;
    }
    return true;
}

bool FleetSend::readTargets(const QCommandLineParser &parser, quint16 defaultPort, QString *error)
{
    TargetList list(defaultPort);
    bool read = !parser.isSet(TargetsOption) || list.addFile(parser.value(TargetsOption));
    const QStringList to = parser.values(ToOption);
    for (int at = 0; read && at < to.size(); ++at)
        read = list.add(to[at], QStringLiteral("--to %1").arg(at + 1));
    if (read && list.targets().isEmpty())
        *error = QStringLiteral("no controller in %1").arg(parser.value(TargetsOption));
    else if (!read)
        *error = list.error();
    m_targets = list.targets();
    return error->isEmpty();
}

bool FleetSend::readRetry(const QCommandLineParser &parser, quint16 defaultPort, QStringList *files,
                          QString *error)
{
    if (!files->isEmpty() || parser.isSet(TargetsOption) || parser.isSet(ToOption)) {
        *error = QStringLiteral("--retry-failed sends the files its report names to the "
                                "controllers that failed there");
        return false;
    }
    m_retried = parser.value(RetryOption);
    return RunReport::readFailed(m_retried, defaultPort, &m_targets, files, error);
}

int FleetSend::run(const QStringList &files, const Session::SendOptions &send,
                   const QString &historyPath, Output &output) const
{
    if (m_targets.isEmpty()) {
        output.error(QStringLiteral("no controller failed in %1: nothing to send again")
                         .arg(QDir::toNativeSeparators(m_retried)));
        return ExitOk;
    }
    FleetRun::Options options;
    QString error;
    if (!planFiles(files, &options.files, &error)) {
        output.error(error);
        return ExitBadArguments;
    }
    options.send = send;
    options.parallel = m_parallel;
    options.dryRun = m_dryRun;
    options.historyPath = historyPath;
    RunReport::Run report{options.files, FleetRun(m_targets, options, output).run(), 0, m_dryRun};
    report.exitCode = FleetRun::exitCodeOf(report.results);
    writeReports(report, output);
    output.allEnded(report.exitCode, report.results, int(report.files.size()));
    return report.exitCode;
}

void FleetSend::writeReports(const RunReport::Run &run, Output &output) const
{
    const QString reportError = m_report.isEmpty() ? QString() : RunReport::write(m_report, run);
    const QString junitError = m_junit.isEmpty() ? QString() : JUnitReport::write(m_junit, run);
    if (!reportError.isEmpty())
        output.error(QStringLiteral("cannot write %1: %2").arg(m_report, reportError));
    if (!junitError.isEmpty())
        output.error(QStringLiteral("cannot write %1: %2").arg(m_junit, junitError));
}
