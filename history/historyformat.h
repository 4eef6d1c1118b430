#pragma once

#include "history/transferrecord.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <optional>

// The one definition of a line of history.csv, for the writer and the
// reader: its fields in order, their quoting (RFC 4180, and an apostrophe
// before what a spreadsheet would run as a formula), the time with its
// offset, and the result words a spreadsheet filters on.
namespace HistoryFormat {

enum Column { Time, Direction, Controller, Port, File, Bytes, Md5, Result, Seconds, ColumnCount };

// The byte-order mark, the header and its line end: how a file starts.
QByteArray head();
QByteArray lineOf(const TransferRecord &record);

// The fields of one record as they stand in the file, unquoted.
using Fields = QVector<QByteArray>;
bool isHeader(const Fields &fields);

// Cuts CSV text into records. A record that breaks the quoting (a quote
// inside a field, a quoted field that never closes) comes back as broken
// and the reading goes on after its line, so that one bad line costs only
// itself. Line ends may be CRLF or a bare LF.
class Records
{
public:
    explicit Records(const QByteArray &text);
    // False at the end; else the record, and whether it kept to the quoting.
    bool next(Fields &fields, bool &wellFormed);

private:
    bool field(Fields &fields);
    bool quotedField(QByteArray &field);
    void skipLine(qsizetype from);
    bool atLineEnd() const;
    void passLineEnd();

    const QByteArray m_text;
    qsizetype m_at = 0;
};

// Turns the fields of a line back into its record: the reverse of
// lineOf(), with what the line does not hold (the path, the sizes
// announced and on the wire) left empty. Reuses the texts that repeat
// (controllers, results) through shared, so that a long history takes
// little memory. Nothing if a field does not parse.
std::optional<TransferRecord> recordOf(const Fields &fields, QHash<QByteArray, QString> &shared);

} // namespace HistoryFormat
