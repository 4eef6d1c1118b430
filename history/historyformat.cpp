#include "history/historyformat.h"

#include "history/transferoutcome.h"

#include <QLocale>
#include <QStringList>

namespace {

const char ByteOrderMark[] = "\xEF\xBB\xBF";
const char Header[] = "time,direction,controller,port,file,bytes,md5,result,seconds";
const char LineEnd[] = "\r\n";
const char Ok[] = "ok";
const char Md5Mismatch[] = "md5-mismatch";

// A spreadsheet runs a field that starts so as a formula; a controller
// names its files as it likes. The apostrophe makes it text.
bool startsLikeFormula(const QString &text)
{
    return !text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.at(0));
}

bool needsQuotes(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char(',') || c == QLatin1Char('\r') ||
            c == QLatin1Char('\n'))
            return true;
    }
    return false;
}

QString field(QString text)
{
    if (startsLikeFormula(text))
        text.prepend(QLatin1Char('\''));
    if (!needsQuotes(text))
        return text;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

// 2026-12-08T14:03:27+08:00: the local time, and how far it is from UTC.
QString localTimeWithOffset(const QDateTime &time)
{
    const int minutes = time.offsetFromUtc() / 60;
    const QChar sign = minutes < 0 ? QLatin1Char('-') : QLatin1Char('+');
    return QLocale::c().toString(time, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")) + sign +
           QStringLiteral("%1:%2")
               .arg(qAbs(minutes) / 60, 2, 10, QLatin1Char('0'))
               .arg(qAbs(minutes) % 60, 2, 10, QLatin1Char('0'));
}

// A spreadsheet filters on "ok", and a digest that failed goes by its
// code's own name; every other result is kvr-transfer's word.
QString resultOf(const QString &outcome)
{
    if (outcome == QLatin1String(TransferOutcome::Done))
        return QString::fromLatin1(Ok);
    if (outcome == QLatin1String(TransferOutcome::DigestMismatch))
        return QString::fromLatin1(Md5Mismatch);
    return outcome;
}

QString fieldOf(const HistoryEntry &entry, HistoryFormat::Column column)
{
    switch (column) {
    case HistoryFormat::Time:
        return localTimeWithOffset(entry.time);
    case HistoryFormat::Direction:
        return field(entry.direction);
    case HistoryFormat::Controller:
        return field(entry.host);
    case HistoryFormat::Port:
        return QString::number(entry.port);
    case HistoryFormat::File:
        return field(entry.fileName);
    case HistoryFormat::Bytes:
        return QString::number(entry.bytes);
    case HistoryFormat::Md5:
        return QString::fromLatin1(entry.md5Hex.toLower());
    case HistoryFormat::Result:
        return field(resultOf(entry.outcome));
    default:
        return QString::number(double(entry.ms) / 1000.0, 'f', 3);
    }
}

} // namespace

QByteArray HistoryFormat::head()
{
    return QByteArray(ByteOrderMark) + Header + LineEnd;
}

QByteArray HistoryFormat::lineOf(const HistoryEntry &entry)
{
    QStringList fields;
    for (int column = 0; column < ColumnCount; ++column)
        fields << fieldOf(entry, Column(column));
    return fields.join(QLatin1Char(',')).toUtf8() + LineEnd;
}
