#pragma once

#include "history/transferhistory.h"

#include <QByteArray>
#include <QString>

// The one definition of a line of history.csv: its fields in order, their
// quoting (RFC 4180, and an apostrophe before what a spreadsheet would run
// as a formula), the time with its offset, and the result words a
// spreadsheet filters on.
namespace HistoryFormat {

enum Column { Time, Direction, Controller, Port, File, Bytes, Md5, Result, Seconds, ColumnCount };

// The byte-order mark, the header and its line end: how a file starts.
QByteArray head();
QByteArray lineOf(const HistoryEntry &entry);

} // namespace HistoryFormat
