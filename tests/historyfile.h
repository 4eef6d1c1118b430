#pragma once

// Reads history.csv as a spreadsheet would: RFC 4180 fields, CRLF records,
// the byte-order mark skipped.

#include "history/transferhistory.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

namespace HistoryFile {

// The history at path and every file beside it that goes with it. A test
// may have made it a folder, which cannot be written; lines of a row that
// could not write it wait in the pending file for the next row.
inline void removeAll(const QString &path)
{
    QFile::remove(path);
    QDir().rmdir(path);
    const QDir folder = QFileInfo(path).dir();
    QFile::remove(folder.filePath(QLatin1String(TransferHistory::OldFileName)));
    QFile::remove(folder.filePath(QLatin1String(TransferHistory::PendingFileName)));
}

const QStringList Columns{
    QStringLiteral("time"), QStringLiteral("direction"), QStringLiteral("controller"),
    QStringLiteral("port"), QStringLiteral("file"),      QStringLiteral("bytes"),
    QStringLiteral("md5"),  QStringLiteral("result"),    QStringLiteral("seconds")};

// The records, the header first. A record cut short or a stray quote makes
// an empty record, which no test expects.
inline QList<QStringList> parse(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && text.mid(i + 1, 1) == QLatin1String("\""))
                field += text.at(++i);
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"') && field.isEmpty()) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            record << std::exchange(field, QString());
        } else if (c == QLatin1Char('\r') && text.mid(i + 1, 1) == QLatin1String("\n")) {
            record << std::exchange(field, QString());
            records << std::exchange(record, QStringList());
            ++i;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\r') || c == QLatin1Char('\n')) {
            return {QStringList()};
        } else {
            field += c;
        }
    }
    if (quoted || !field.isEmpty() || !record.isEmpty())
        records << QStringList();
    return records;
}

inline QList<QStringList> read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? parse(file.readAll()) : QList<QStringList>();
}

// The records after the header, which must be the columns'; else a
// record that says what is wrong.
inline QList<QStringList> entries(const QString &path)
{
    QList<QStringList> records = read(path);
    if (records.isEmpty())
        return {};
    if (records.takeFirst() != Columns)
        return {{QStringLiteral("bad header")}};
    return records;
}

// Columns of one record by name.
inline QString value(const QStringList &record, const char *column)
{
    return record.value(int(Columns.indexOf(QLatin1String(column))));
}

} // namespace HistoryFile
