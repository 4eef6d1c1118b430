#pragma once

#include "targets.h"

#include "history/transferrecord.h"

#include <QList>
#include <QString>

// A file of a run to several controllers, hashed once before the run.
struct PlannedFile
{
    QString name; // as sent
    QString path;
    quint64 size = 0;
    QByteArray md5Hex;
};

// How one controller's part of such a run ended.
struct TargetResult
{
    // "sent" (the controller acknowledged every byte of every file; it
    // acknowledges nothing more), "failed", or "checked" (--dry-run: it
    // could be reached).
    static constexpr char Sent[] = "sent";
    static constexpr char Failed[] = "failed";
    static constexpr char Checked[] = "checked";

    Target target;
    QString status = QLatin1String(Failed);
    int exitCode = 0;
    QString error;               // why it failed
    QList<TransferRecord> files; // those that ended, in order
    qint64 ms = 0;

    // How many of the results have that status.
    static int count(const QList<TargetResult> &results, const char *status)
    {
        int count = 0;
        for (const TargetResult &result : results)
            count += result.status == QLatin1String(status) ? 1 : 0;
        return count;
    }

    bool succeeded() const { return status != QLatin1String(Failed); }
    quint64 bytes() const
    {
        quint64 total = 0;
        for (const TransferRecord &file : files)
            total += file.bytes;
        return total;
    }
    int filesDone() const
    {
        int done = 0;
        for (const TransferRecord &file : files)
            done += file.done() ? 1 : 0;
        return done;
    }
};
