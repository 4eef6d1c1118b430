#pragma once

#include "history/transferhistory.h"
#include "history/transferrecord.h"

#include <QDateTime>
#include <QString>

#include <vector>

// Reads the history back as TransferHistory wrote it: history.pending.csv,
// history.csv and history.1.csv beside it, newest line first. Lines come
// in the order they were appended, which is the order the transfers ended,
// so the files are read backwards rather than sorted by a clock that may
// have been set back. A line that does not parse (cut short, edited by
// hand, from another program) is skipped and counted, never fatal.
//
// A plain function on files and values, so that it may run in any thread:
// the window gives it to a thread pool and is not held up.
namespace HistoryReader {

struct Result
{
    std::vector<TransferRecord> records; // newest first
    int skipped = 0;                     // lines that did not parse
    QString error;                       // a file that is there but cannot be read
};

// The records that ended before the second of before, if it is valid: the
// lines of the run that began then come to its list as it goes.
Result read(const QString &historyPath, const QDateTime &before = QDateTime());

} // namespace HistoryReader
