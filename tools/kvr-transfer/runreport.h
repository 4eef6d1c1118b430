#pragma once

#include "targetresult.h"
#include "targets.h"

#include <QList>
#include <QString>
#include <QStringList>

// The record of a run to several controllers that a production line keeps:
// a JSON file written whole or not at all (a temporary file renamed), also
// when targets failed or the run was interrupted.
namespace RunReport {

struct Run
{
    QList<PlannedFile> files;
    QList<TargetResult> results;
    int exitCode = 0;
    bool dryRun = false;
};

// Whether a report can be written there: asked before anything is sent.
bool canWrite(const QString &path, QString *error);
// Empty, or why it could not.
QString write(const QString &path, const Run &run);
// The targets that failed in an earlier report, and the files it names.
bool readFailed(const QString &path, quint16 defaultPort, QList<Target> *targets,
                QStringList *files, QString *error);

} // namespace RunReport

// The same run as JUnit XML, as Jenkins and GitLab read it: a testcase per
// target, with a failure for each that failed.
namespace JUnitReport {

QString write(const QString &path, const RunReport::Run &run);

} // namespace JUnitReport
