#include "transfer/filereceiver.h"

#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

#ifdef Q_OS_UNIX
#include <cstdio>
#endif

namespace {

QMutex writeHookMutex;
FileReceiver::WriteHook writeHook; // guarded by writeHookMutex
std::atomic<bool> writeHookSet{false};

bool runWriteHook(const char *data, qsizetype size)
{
    if (!writeHookSet.load(std::memory_order_acquire))
        return true;
    QMutexLocker locker(&writeHookMutex);
    return !writeHook || writeHook(data, size);
}

// Replaces target by source in one step where the platform allows it.
bool replaceFile(const QString &source, const QString &target)
{
#ifdef Q_OS_UNIX
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
#else
    if (QFile::exists(target) && !QFile::remove(target))
        return false;
    return QFile::rename(source, target);
#endif
}

} // namespace

FileReceiver::FileReceiver(DirectoryProvider directory, Reporter report)
    : m_parser(this), m_directory(std::move(directory)), m_report(std::move(report)),
      m_hash(QCryptographicHash::Md5)
{}

// A file still open keeps what was written as "<name>.part"; no code.
FileReceiver::~FileReceiver() = default;

void FileReceiver::feed(const QByteArray &chunk, qint64 nowMs)
{
    m_parser.feed(chunk, nowMs);
    if (m_startDue) {
        report(RecStarted);
    } else if (m_wrote && m_parser.transferOpen()) {
        report(RecProgress);
    }
}

void FileReceiver::poll(qint64 nowMs)
{
    m_parser.poll(nowMs);
}

void FileReceiver::rawData(const QByteArray &bytes)
{
    m_rawData = bytes;
    report(RecRawData);
}

bool FileReceiver::transferOpened(const FrameHeader &header)
{
    const QString name = Protocol::safeFileName(header.rawName);
    if (name.isEmpty()) {
        report(RecCreateFailed);
        return false;
    }
    const QString finalPath = receiveDirectory() + QLatin1Char('/') + name;
    m_file.setFileName(partPath(finalPath));
    // Unbuffered: chunks are large, and a failed write shows at once.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        report(RecCreateFailed);
        return false;
    }
    m_header = header;
    m_finalPath = finalPath;
    m_hash.reset();
    m_announcedSize = header.size;
    m_fileBytes = 0;
    m_totalBytes = quint64(header.headerBytes);
    m_startDue = true;
    return true;
}

void FileReceiver::setWriteHook(WriteHook hook)
{
    QMutexLocker locker(&writeHookMutex);
    writeHookSet = bool(hook);
    writeHook = std::move(hook);
}

bool FileReceiver::write(const char *data, qsizetype size)
{
    return runWriteHook(data, size) && m_file.write(data, size) == size;
}

bool FileReceiver::contents(const char *data, qsizetype size)
{
    if (!write(data, size)) {
        failWrite();
        return false;
    }
    if (m_header.hasMd5)
        m_hash.addData(data, int(size));
    m_fileBytes += quint64(size);
    m_wrote = true;
    return true;
}

void FileReceiver::transferEnded()
{
    if (!m_file.flush()) {
        failWrite();
        return;
    }
    m_file.close();
    if (m_file.error() != QFileDevice::NoError) {
        failWrite();
        return;
    }
    // A digest field that is not 32 hex digits cannot vouch for the file.
    if (m_header.hasMd5 && !digestMatches()) {
        report(RecMd5Mismatch);
        return;
    }
    if (!replaceFile(m_file.fileName(), m_finalPath)) {
        report(RecWriteFailed);
        return;
    }
    report(RecDone);
}

bool FileReceiver::digestMatches() const
{
    return !m_header.md5Hex.isEmpty() && m_hash.result().toHex() == m_header.md5Hex;
}

void FileReceiver::transferTimedOut()
{
    m_file.flush();
    m_file.close();
    report(RecTimeout);
}

QString FileReceiver::receiveDirectory() const
{
    const QString directory = m_directory ? m_directory() : QString();
    if (!directory.isEmpty())
        return directory;
    // Never the filesystem root: an unset directory is the program's own.
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                        : QDir::currentPath();
}

void FileReceiver::failWrite()
{
    m_file.close();
    report(RecWriteFailed);
}

void FileReceiver::report(int code)
{
    if (code != RecStarted)
        reportStartIfDue();
    m_startDue = false;
    m_wrote = false;
    if (code != RecRawData && code != RecCreateFailed)
        m_totalBytes = m_parser.transferBytes();
    m_report(code, *this);
}

// An opening chunk that also ends its transfer still reports RecStarted
// before the end code.
void FileReceiver::reportStartIfDue()
{
    if (m_startDue) {
        m_startDue = false;
        report(RecStarted);
    }
}
