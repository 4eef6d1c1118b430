#pragma once

#include <QString>
#include <QStringList>

// The files the window sends one after another over its connection. No
// thread or socket: the window hands the worker one file at a time (one
// CmdSendFile, after the previous send's end code) and tells this queue
// each file's end code. GUI thread only.
//
// A run goes from the file that starts it to its last: places read "2/5",
// and files added while it runs (or holds its next file) join its end. A
// stop drops the files not yet handed over; files added before the stopped file ends wait for a run
// of their own. A failure ends the run, and the files after the failed one
// wait for the next start.
class SendQueue
{
public:
    // A file handed over, and its place in the run.
    struct Place
    {
        QString path;
        int number = 0;
        int total = 0;
    };
    // What a file's end code means for its run.
    enum class After { Next, Finished, Stopped, Failed };

    void add(const QStringList &paths);
    // Before the files that wait: files tried again, which the files that
    // waited after their failure follow. Only while not sending().
    void addFirst(const QStringList &paths);
    // Not yet handed over, oldest first.
    QStringList waiting() const { return m_waiting; }
    bool hasWaiting() const { return !m_waiting.isEmpty(); }

    // Hands over the oldest waiting file; the first starts a run. Only
    // while hasWaiting() and not sending().
    Place handOver();
    // From handOver() until fileEnded().
    bool sending() const { return !m_current.isEmpty(); }
    // The file handed over last, its place counting the files added since.
    Place current() const;
    // Between two files of a run the next may wait, for the pause between
    // files: from here until handOver() or a stop, which ends the run. Only
    // right after fileEnded() answered Next.
    void holdNext();
    bool holding() const { return m_holding; }
    // A file is out, or the next one is held.
    bool running() const { return sending() || m_holding; }
    // The end code of the file handed over last.
    After fileEnded(int code);

    // Drops the waiting files and returns them. A file already handed over
    // still ends with fileEnded(), which ends the run.
    QStringList stop();
    // A stop came while a file was handed over, which has not ended yet.
    bool stopping() const { return m_stopping; }

private:
    After endRun(After after);

    QStringList m_waiting;
    QString m_current;
    int m_handed = 0; // in the current run, the current file included
    bool m_stopping = false;
    bool m_holding = false;
};
