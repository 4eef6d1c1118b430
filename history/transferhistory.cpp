#include "history/transferhistory.h"

#include "history/historydisk.h"
#include "history/historyformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace {

// Long enough for another process to roll the file over, short enough that
// a transfer's end is not held up by a lock that never frees.
constexpr int LockWaitMs = 1000;

} // namespace

QString TransferHistory::pathBeside(const QString &settingsFile)
{
    return QFileInfo(settingsFile).absolutePath() + QLatin1Char('/') + QLatin1String(FileName);
}

TransferHistory::TransferHistory(const QString &filePath, std::unique_ptr<HistoryDisk> disk)
    : m_path(filePath), m_disk(disk ? std::move(disk) : std::make_unique<HistoryDisk>())
{}

TransferHistory::~TransferHistory() = default;

QString TransferHistory::pendingPath() const
{
    return QFileInfo(m_path).absolutePath() + QLatin1Char('/') + QLatin1String(PendingFileName);
}

// Every line goes in one write to the file opened for appending, which
// POSIX keeps whole. A Windows handle that may only append does too on a
// local disk, but not on every file system it may sit on (Wine seeks to the
// end and then writes): there each line also takes the lock file the
// processes share. Without the lock (a folder that cannot be written, a
// lock held too long) the line is still appended.
QString TransferHistory::append(const TransferRecord &record)
{
#ifdef Q_OS_WIN
    constexpr bool LockEveryLine = true;
#else
    constexpr bool LockEveryLine = false;
#endif
    const bool full = m_disk->size(m_path) >= RollOverBytes;
    const bool waiting = m_disk->size(pendingPath()) >= 0;
    QLockFile lock(m_path + QLatin1String(".lock"));
    const bool tried = LockEveryLine || full || waiting;
    const bool locked = tried && lock.tryLock(LockWaitMs);
    // Without the lock there is no roll-over, so two processes never both
    // make one.
    if (full && locked)
        rollOver();
    const QByteArray line = HistoryFormat::lineOf(record);
    // A line waits behind those already waiting, so that they stay in order.
    const bool behind = waiting && !(locked && moveWaiting());
    const QString error = behind ? QString() : appendLine(m_path, line);
    if (!behind && error.isEmpty())
        return QString();
    // The side file is moved under the lock; a line kept without it could
    // come just after the move and be lost with the file.
    if (!tried)
        lock.tryLock(LockWaitMs);
    const QString keepError = appendLine(pendingPath(), line);
    if (keepError.isEmpty() && behind)
        return QString();
    return tellOnce(keepError.isEmpty() ? QStringLiteral("%1 (kept in %2 until it can be written)")
                                              .arg(error, QDir::toNativeSeparators(pendingPath()))
                    : error.isEmpty() ? keepError
                                      : error);
}

QString TransferHistory::tellOnce(const QString &error)
{
    return std::exchange(m_failed, true) ? QString() : error;
}

// Lines kept aside while history.csv could not be written go into it
// first, in one write, after which their file goes. False if they wait on.
bool TransferHistory::moveWaiting()
{
    QFile file(pendingPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray lines = file.readAll();
    file.close();
    const QByteArray head = HistoryFormat::head();
    if (lines.startsWith(head))
        lines.remove(0, head.size());
    if (!lines.isEmpty() && !appendLine(m_path, lines).isEmpty())
        return false;
    // Emptied if it cannot go (held open), so that no line is added twice.
    if (!m_disk->remove(pendingPath()))
        QFile::resize(pendingPath(), 0);
    return true;
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
QString TransferHistory::appendLine(const QString &path, const QByteArray &line)
{
    QString error = appendBytes(path, line);
    if (!error.isEmpty() && m_disk->size(path) < 0) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (m_disk->create(path, HistoryFormat::head()))
            error = appendBytes(path, line);
    }
    return error;
}

// Whole or not at all: the part of a line that a full disk took would join
// the next line into one row.
QString TransferHistory::appendBytes(const QString &path, const QByteArray &bytes)
{
    QString error = m_disk->open(path, false);
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
