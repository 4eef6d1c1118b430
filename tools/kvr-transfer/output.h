#pragma once

#include "targetresult.h"

#include "history/transferrecord.h"
#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>

class QIODevice;
class QJsonObject;

// Everything kvr-transfer tells its user: a line per event on stdout, or a
// JSON object per line with --json; a progress line redrawn in place while
// stdout is a terminal; raw data and errors on stderr. A run to several
// controllers tells through one Output for each, from their threads: each
// line goes out whole, in one write, under a lock they share.
class Output
{
public:
    // The process's stdout and stderr: a Windows console takes the text as
    // UTF-16, anything else as UTF-8.
    Output();
    // Two devices in their place, as UTF-8 and without a progress line: for
    // a command run inside another program, such as a test.
    Output(QIODevice *out, QIODevice *err);

    // One JSON object per line from here on.
    void setJson(bool json);

    // The Output of one controller of several, through this one's streams:
    // its JSON events name the target and its label; its text is the line
    // targetEnded() prints, its errors on stderr after the target. It keeps
    // what it told for the run's report.
    std::unique_ptr<Output> forTarget(const Target &target) const;
    const QList<TransferRecord> &endedFiles() const { return m_ended; }
    // The first failed file's line, else the first error; empty if none.
    QString failureReason() const;

    // plannedFiles: how many files each target was to get.
    void targetEnded(const TargetResult &result, int plannedFiles);
    // The end of a run to several controllers: the table of all of them
    // on stderr, and the finished event.
    void allEnded(int exitCode, const QList<TargetResult> &results, int plannedFiles);

    // size: as announced.
    void fileStarted(TransferRecord::Direction direction, const QString &name, const QString &path,
                     quint64 size);
    void progress(quint64 bytes, quint64 size);
    void fileEnded(const TransferRecord &record, int exitCode);
    void rawData(const QByteArray &bytes);
    void connectionLost();
    // receive --reconnect: a connection made, and the retries begun.
    void connected(const QString &host, quint16 port);
    void reconnecting(const QString &host, quint16 port);
    void greetingSent(const QString &peer);
    void finished(int exitCode, int files, int failed);
    void error(const QString &message);

private:
    // stdout or stderr, or the device that stands in for it.
    struct Stream
    {
        FILE *file = nullptr;
        QIODevice *device = nullptr;
    };

    Output(const Output &parent, const Target &target);

    void print(const Stream &stream, const QString &text);
    void printJson(const QJsonObject &object);
    void clearProgress();
    void tellLink(const QString &event, const QString &text, const QString &host, quint16 port);

    const Stream m_out;
    const Stream m_err;
    const std::shared_ptr<std::mutex> m_lock;
    const bool m_terminal;
    bool m_json = false;
    // Set for one controller of several.
    const bool m_ofTarget = false;
    const QString m_target;
    const QString m_label;
    QList<TransferRecord> m_ended;
    QString m_fileFailure;
    QString m_firstError;
    QString m_name;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = -1;
    int m_lineLength = 0;
    TransferRate m_rate;
};
