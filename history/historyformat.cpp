#include "history/historyformat.h"

#include "history/transferoutcome.h"

#include <QDate>
#include <QLocale>
#include <QStringList>
#include <QTime>

#include <algorithm>
#include <cmath>

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

// The reverse of field() for a field already unquoted.
QString textOf(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QLatin1Char('\'')) && startsLikeFormula(text.mid(1, 1)))
        text.remove(0, 1);
    return text;
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

int digits(const char *text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The reverse of localTimeWithOffset(), by hand: a long history has as many
// times as lines. In UTC, which a QDateTime keeps without an allocation.
QDateTime timeOf(const QByteArray &text)
{
    const char *t = text.constData();
    if (text.size() != 25 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
        t[16] != ':' || (t[19] != '+' && t[19] != '-') || t[22] != ':')
        return {};
    const QDate date(digits(t, 4), digits(t + 5, 2), digits(t + 8, 2));
    const QTime time(digits(t + 11, 2), digits(t + 14, 2), digits(t + 17, 2));
    const int hours = digits(t + 20, 2);
    const int minutes = digits(t + 23, 2);
    if (!date.isValid() || !time.isValid() || hours < 0 || minutes < 0 || minutes > 59)
        return {};
    constexpr qint64 JulianDayOf1970 = 2440588;
    const qint64 offsetMs = (t[19] == '-' ? -1 : 1) * (hours * 60 + minutes) * 60000LL;
    const qint64 localMs =
        (date.toJulianDay() - JulianDayOf1970) * 86400000 + time.msecsSinceStartOfDay();
    return QDateTime::fromMSecsSinceEpoch(localMs - offsetMs, Qt::UTC);
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

QString outcomeOf(const QString &result)
{
    if (result == QLatin1String(Ok))
        return QString::fromLatin1(TransferOutcome::Done);
    if (result == QLatin1String(Md5Mismatch))
        return QString::fromLatin1(TransferOutcome::DigestMismatch);
    return result;
}

QString fieldOf(const TransferRecord &record, HistoryFormat::Column column)
{
    switch (column) {
    case HistoryFormat::Time:
        return localTimeWithOffset(record.endTime);
    case HistoryFormat::Direction:
        return TransferRecord::word(record.direction);
    case HistoryFormat::Controller:
        return field(record.host);
    case HistoryFormat::Port:
        return QString::number(record.port);
    case HistoryFormat::File:
        return field(record.fileName);
    case HistoryFormat::Bytes:
        return QString::number(record.bytes);
    case HistoryFormat::Md5:
        return QString::fromLatin1(record.md5Hex.toLower());
    case HistoryFormat::Result:
        return field(resultOf(record.outcome));
    default:
        return QString::number(double(record.ms) / 1000.0, 'f', 3);
    }
}

bool isDigest(const QByteArray &hex)
{
    if (hex.isEmpty())
        return true;
    if (hex.size() != 32)
        return false;
    return std::all_of(hex.cbegin(), hex.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

QString sharedText(const QByteArray &bytes, QHash<QByteArray, QString> &shared)
{
    auto it = shared.find(bytes);
    if (it == shared.end())
        it = shared.insert(bytes, textOf(bytes));
    return *it;
}

std::optional<TransferRecord::Direction> directionOf(const QByteArray &word)
{
    for (const auto direction :
         {TransferRecord::Direction::Send, TransferRecord::Direction::Receive}) {
        if (word == TransferRecord::word(direction).toLatin1())
            return direction;
    }
    return std::nullopt;
}

} // namespace

QByteArray HistoryFormat::head()
{
    return QByteArray(ByteOrderMark) + Header + LineEnd;
}

bool HistoryFormat::isHeader(const Fields &fields)
{
    return fields.size() == ColumnCount && fields.at(Time) == "time" &&
           fields.toList().join(',') == Header;
}

QByteArray HistoryFormat::lineOf(const TransferRecord &record)
{
    QStringList fields;
    for (int column = 0; column < ColumnCount; ++column)
        fields << fieldOf(record, Column(column));
    return fields.join(QLatin1Char(',')).toUtf8() + LineEnd;
}

std::optional<TransferRecord> HistoryFormat::recordOf(const Fields &fields,
                                                      QHash<QByteArray, QString> &shared)
{
    if (fields.size() != ColumnCount || fields.at(Result).isEmpty() || !isDigest(fields.at(Md5)))
        return std::nullopt;
    const std::optional<TransferRecord::Direction> direction = directionOf(fields.at(Direction));
    bool portOk = false;
    bool bytesOk = false;
    bool secondsOk = false;
    TransferRecord record;
    record.endTime = timeOf(fields.at(Time));
    record.direction = direction.value_or(TransferRecord::Direction::Send);
    record.host = sharedText(fields.at(Controller), shared);
    record.port = fields.at(Port).toUShort(&portOk);
    record.fileName = textOf(fields.at(File));
    record.bytes = fields.at(Bytes).toULongLong(&bytesOk);
    record.md5Hex = fields.at(Md5).toLower();
    record.outcome = outcomeOf(sharedText(fields.at(Result), shared));
    const double seconds = fields.at(Seconds).toDouble(&secondsOk);
    record.ms = std::llround(seconds * 1000.0);
    const bool ok = record.endTime.isValid() && direction && portOk && bytesOk && secondsOk &&
                    std::isfinite(seconds) && seconds >= 0;
    return ok ? std::optional<TransferRecord>(std::move(record)) : std::nullopt;
}

// ---- Records ----

HistoryFormat::Records::Records(const QByteArray &text) : m_text(text)
{
    if (m_text.startsWith(ByteOrderMark))
        m_at = qsizetype(sizeof ByteOrderMark - 1);
}

bool HistoryFormat::Records::next(Fields &fields, bool &wellFormed)
{
    fields.clear();
    if (m_at >= m_text.size())
        return false;
    const qsizetype start = m_at;
    while (field(fields)) {
        if (atLineEnd()) {
            passLineEnd();
            wellFormed = true;
            return true;
        }
        ++m_at; // the comma
    }
    wellFormed = false;
    skipLine(start);
    return true;
}

// A quote opens a field or is not there at all: the writer quotes whole
// fields only.
bool HistoryFormat::Records::field(Fields &fields)
{
    fields.append(QByteArray());
    if (m_at < m_text.size() && m_text.at(m_at) == '"')
        return quotedField(fields.last()) && (atLineEnd() || m_text.at(m_at) == ',');
    const qsizetype begin = m_at;
    while (!atLineEnd() && m_text.at(m_at) != ',') {
        const char c = m_text.at(m_at);
        if (c == '"' || c == '\r')
            return false;
        ++m_at;
    }
    fields.last() = m_text.mid(begin, m_at - begin);
    return true;
}

bool HistoryFormat::Records::quotedField(QByteArray &field)
{
    ++m_at;
    for (;;) {
        const qsizetype quote = m_text.indexOf('"', m_at);
        if (quote < 0)
            return false;
        field += m_text.mid(m_at, quote - m_at);
        m_at = quote + 1;
        if (m_at >= m_text.size() || m_text.at(m_at) != '"')
            return true;
        field += '"';
        ++m_at;
    }
}

void HistoryFormat::Records::skipLine(qsizetype from)
{
    const qsizetype end = m_text.indexOf('\n', from);
    m_at = end < 0 ? m_text.size() : end + 1;
}

bool HistoryFormat::Records::atLineEnd() const
{
    if (m_at >= m_text.size() || m_text.at(m_at) == '\n')
        return true;
    return m_text.at(m_at) == '\r' && m_at + 1 < m_text.size() && m_text.at(m_at + 1) == '\n';
}

void HistoryFormat::Records::passLineEnd()
{
    if (m_at < m_text.size())
        m_at += m_text.at(m_at) == '\r' ? 2 : 1;
}
