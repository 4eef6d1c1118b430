#pragma once

#include "session.h"
#include "targets.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class Output;
class QCommandLineParser;
namespace RunReport {
struct Run;
}

// send's options for several controllers at once (--targets, --to given
// more than once, --parallel, --dry-run, --report, --junit,
// --retry-failed), and the run they make.
class FleetSend
{
public:
    static constexpr int MaxParallel = 64;

    static QList<QCommandLineOption> options();

    // Reads the options with the files given (*files, which --retry-failed
    // fills from its report); false with *error at the first that is bad.
    bool read(const QCommandLineParser &parser, quint16 defaultPort, QStringList *files,
              QString *error);
    // Whether the send goes through here and not over one connection.
    bool isOn() const { return m_on; }
    int run(const QStringList &files, const Session::SendOptions &send, const QString &historyPath,
            Output &output) const;

private:
    bool readTargets(const QCommandLineParser &parser, quint16 defaultPort, QString *error);
    bool readRetry(const QCommandLineParser &parser, quint16 defaultPort, QStringList *files,
                   QString *error);
    void writeReports(const RunReport::Run &run, Output &output) const;

    bool m_on = false;
    QList<Target> m_targets;
    int m_parallel = 4;
    bool m_dryRun = false;
    QString m_report;
    QString m_junit;
    QString m_retried; // the report whose failed targets these are
};
