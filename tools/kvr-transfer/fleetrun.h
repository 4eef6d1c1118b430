#pragma once

#include "session.h"
#include "targetresult.h"
#include "targets.h"

#include <QList>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

class Output;
class SharedHistory;

// One send to several controllers at once: each its own connection, in a
// thread of its own with its own event loop, at most `parallel` at a time;
// each gets the files in order, as a send to one does.
class FleetRun
{
public:
    struct Options
    {
        QList<PlannedFile> files;
        Session::SendOptions send; // the block size, pace and gap of each
        int parallel = 4;
        bool dryRun = false; // connect, send nothing
        QString historyPath; // empty: no history
    };

    FleetRun(const QList<Target> &targets, Options options, Output &output);
    ~FleetRun();
    FleetRun(const FleetRun &) = delete;
    FleetRun &operator=(const FleetRun &) = delete;

    // Returns once every target has ended; serves this thread's events
    // while it waits. Targets that Ctrl+C kept from starting fail too.
    QList<TargetResult> run();

    // 0 when every target got every file; ExitSomeTargetsFailed when some
    // did; when none did, the first target's code, as for one controller.
    static int exitCodeOf(const QList<TargetResult> &results);

private:
    void work();
    TargetResult runOne(const Target &target);
    int sendOver(Session &session, const Target &target);

    const QList<Target> m_targets;
    const Options m_options;
    Output &m_output;
    std::shared_ptr<SharedHistory> m_history;
    std::vector<TargetResult> m_results; // each written by the thread of its target only
    std::atomic<int> m_next{0};
};

// Each file's name, size and digest, or false with *error for the first
// that cannot be read.
bool planFiles(const QStringList &paths, QList<PlannedFile> *files, QString *error);
