#pragma once

#include "history/historydisk.h"
#include "history/transferrecord.h"

#include <QString>

#include <memory>

// history.csv: one line for every finished transfer of the window and of
// kvr-transfer, beside the settings.ini they use. UTF-8 with a byte-order
// mark (by which a spreadsheet knows it is UTF-8), a header line, and fields
// quoted as RFC 4180 asks.
//
// The window and kvr-transfer may append at the same time: each line goes
// in one write to the file opened for appending (on Windows also under a
// lock file the processes share), so whole lines follow one another. At
// 10 MiB the file becomes history.1.csv, replacing the older one, under
// that lock, so one process does it and no line is lost. A line is there
// whole or not at all; one that cannot be written (a full disk, the file
// held open by a spreadsheet that shares no writing) waits in
// history.pending.csv beside it and goes in first, in order, with the next
// line that can be written, even from another run.
class TransferHistory
{
public:
    static constexpr char FileName[] = "history.csv";
    static constexpr char OldFileName[] = "history.1.csv";
    static constexpr char PendingFileName[] = "history.pending.csv";
    static constexpr qint64 RollOverBytes = 10 * 1024 * 1024;

    // Beside the settings.ini that a program uses (SettingsFile::path).
    static QString pathBeside(const QString &settingsFile);

    explicit TransferHistory(const QString &filePath, std::unique_ptr<HistoryDisk> disk = {});
    ~TransferHistory();

    QString filePath() const { return m_path; }
    // Where lines wait while history.csv cannot be written.
    QString pendingPath() const;
    // Appends the record as one line. Returns why it could not, and where the
    // line waits if it does, the first time only: a history that cannot be
    // written is told once, not for every file. Empty otherwise. A transfer
    // never waits long for it.
    QString append(const TransferRecord &record);

private:
    void rollOver();
    bool moveWaiting();
    QString appendLine(const QString &path, const QByteArray &line);
    QString appendBytes(const QString &path, const QByteArray &bytes);
    QString tellOnce(const QString &error);

    const QString m_path;
    const std::unique_ptr<HistoryDisk> m_disk;
    bool m_failed = false;
};
