#include "history/transferhistory.h"

#include "history/historydisk.h"
#include "history/transferoutcome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QStringList>

namespace {

// Long enough for another process to roll the file over, short enough that
// a transfer's end is not held up by a lock that never frees.
constexpr int LockWaitMs = 1000;

const char ByteOrderMark[] = "\xEF\xBB\xBF";
const char Header[] = "time,direction,controller,port,file,bytes,md5,result,seconds";
const char LineEnd[] = "\r\n";

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
        return QStringLiteral("ok");
    if (outcome == QLatin1String(TransferOutcome::DigestMismatch))
        return QStringLiteral("md5-mismatch");
    return outcome;
}

QByteArray lineOf(const HistoryEntry &entry)
{
    const QString result = resultOf(entry.outcome);
    const QStringList fields{localTimeWithOffset(entry.time),
                             field(entry.direction),
                             field(entry.host),
                             QString::number(entry.port),
                             field(entry.fileName),
                             QString::number(entry.bytes),
                             QString::fromLatin1(entry.md5Hex.toLower()),
                             field(result),
                             QString::number(double(entry.ms) / 1000.0, 'f', 3)};
    return fields.join(QLatin1Char(',')).toUtf8() + LineEnd;
}

} // namespace

QString TransferHistory::pathBeside(const QString &settingsFile)
{
    return QFileInfo(settingsFile).absolutePath() + QLatin1Char('/') + QLatin1String(FileName);
}

TransferHistory::TransferHistory(const QString &filePath, std::unique_ptr<HistoryDisk> disk)
    : m_path(filePath), m_disk(disk ? std::move(disk) : std::make_unique<HistoryDisk>())
{}

TransferHistory::~TransferHistory() = default;

// Every line goes in one write to the file opened for appending, which
// POSIX keeps whole. A Windows handle that may only append does too on a
// local disk, but not on every file system it may sit on (Wine seeks to the
// end and then writes): there each line also takes the lock file the
// processes share. Without the lock (a folder that cannot be written, a
// lock held too long) the line is still appended.
QString TransferHistory::append(const HistoryEntry &entry)
{
#ifdef Q_OS_WIN
    constexpr bool LockEveryLine = true;
#else
    constexpr bool LockEveryLine = false;
#endif
    const bool full = m_disk->size(m_path) >= RollOverBytes;
    QLockFile lock(m_path + QLatin1String(".lock"));
    const bool locked = (LockEveryLine || full) && lock.tryLock(LockWaitMs);
    // Without the lock there is no roll-over, so two processes never both
    // make one.
    if (full && locked)
        rollOver();
    const QString error = appendLine(lineOf(entry));
    if (error.isEmpty() || m_failed)
        return QString();
    m_failed = true;
    return error;
}

// The size is looked at again under the lock: another process may have
// rolled the file over since.
void TransferHistory::rollOver()
{
    if (m_disk->size(m_path) < RollOverBytes)
        return;
    const QString old =
        QFileInfo(m_path).absolutePath() + QLatin1Char('/') + QLatin1String(OldFileName);
    // Kept as it is if the old file is open elsewhere; tried again with the
    // next line.
    if (m_disk->remove(old) || m_disk->size(old) < 0)
        m_disk->rename(m_path, old);
}

// A line never makes the file: one made by an append would have no header
// if the line came first. A file that is not there, new or just rolled
// over, is made with its header in one step by whichever writer finds it
// missing.
QString TransferHistory::appendLine(const QByteArray &line)
{
    QString error = appendBytes(line);
    if (!error.isEmpty() && m_disk->size(m_path) < 0) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        if (m_disk->create(m_path, QByteArray(ByteOrderMark) + Header + LineEnd))
            error = appendBytes(line);
    }
    return error;
}

// Whole or not at all: the part of a line that a full disk took would join
// the next line into one row.
QString TransferHistory::appendBytes(const QByteArray &bytes)
{
    QString error = m_disk->open(m_path, false);
    if (error.isEmpty()) {
        const qint64 written = m_disk->write(bytes);
        if (written != bytes.size()) {
            error = m_disk->errorString();
            m_disk->cutBack(written);
        }
    }
    m_disk->close();
    return error;
}
