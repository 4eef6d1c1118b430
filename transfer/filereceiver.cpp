#include "transfer/filereceiver.h"

#include "transfer/hashthread.h"
#include "transfer/programfiles.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryFile>
#include <QThread>

#include <atomic>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
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

constexpr int PartPrefixLength = 32;

constexpr int RetryMs = 100;
constexpr int Retries = 10; // a moment for another program to let go
constexpr int FreeNames = 99;

#ifdef Q_OS_WIN
// Win32 takes a path of 260 characters or more only in its long form.
QString win32Path(const QString &path)
{
    const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native;
    if (native.startsWith(QLatin1String("\\\\")))
        return QLatin1String("\\\\?\\UNC\\") + native.mid(2);
    return QLatin1String("\\\\?\\") + native;
}

// Moves source to target in one step; a target that is a link is replaced,
// not followed, and the old file is never deleted first.
bool moveFile(const QString &source, const QString &target, bool replace)
{
    const QString from = win32Path(source);
    const QString to = win32Path(target);
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

// Another program holds the target open (an editor, a virus scanner).
bool targetBusy()
{
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}
#else
bool moveFile(const QString &source, const QString &target, bool replace)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    if (replace)
        return std::rename(from.constData(), to.constData()) == 0;
    if (renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // A file system that cannot refuse to replace: look first.
    const bool unsupported = errno == EINVAL || errno == ENOSYS;
    return unsupported && !QFileInfo::exists(target) &&
           std::rename(from.constData(), to.constData()) == 0;
}

bool targetBusy()
{
    return false;
}
#endif

// Replaces target by source, retrying a moment while another program holds
// the target.
bool replaceFile(const QString &source, const QString &target)
{
    for (int attempt = 0;; ++attempt) {
        if (moveFile(source, target, true))
            return true;
        if (attempt == Retries || !targetBusy())
            return false;
        QThread::msleep(RetryMs);
    }
}

// "name (n).ext" beside path, as file managers name a second copy.
QString numberedPath(const QString &path, int n)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        dot = name.size();
    return info.path() + QLatin1Char('/') + name.left(dot) + QStringLiteral(" (%1)").arg(n) +
           name.mid(dot);
}

// Opens its unique name exclusively (never an existing file, never through
// a link), unbuffered so that a failed write shows at once.
class PartFile : public QTemporaryFile
{
public:
    explicit PartFile(const QString &templateName) : QTemporaryFile(templateName)
    {
        setAutoRemove(false);
    }
    bool openExclusive() { return open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
};

// Where a file is written until it is complete: a short hidden name beside
// the target, so that even a 255-byte name has its partial file.
QString partTemplate(const QString &directory, const QString &name)
{
    int length = qMin(name.size(), PartPrefixLength);
    if (length < name.size() && name.at(length - 1).isHighSurrogate())
        --length;
    return directory + QLatin1String("/.") + name.left(length) + QLatin1String(".XXXXXX.part");
}

#ifndef Q_OS_WIN
// A temporary file is the owner's alone; a received file gets what any new
// file would: 0666 less the umask, which Linux shows without changing it.
QFileDevice::Permissions newFilePermissions()
{
    static const QFileDevice::Permissions permissions = [] {
        uint umask = 022;
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            const QByteArray text = status.readAll();
            const int at = text.indexOf("\nUmask:");
            if (at >= 0)
                umask = text.mid(at + 7, text.indexOf('\n', at + 1) - at - 7)
                            .trimmed()
                            .toUInt(nullptr, 8);
        }
        const uint mode = 0666 & ~umask;
        QFileDevice::Permissions p;
        p.setFlag(QFileDevice::ReadOwner, mode & 0400).setFlag(QFileDevice::ReadUser, mode & 0400);
        p.setFlag(QFileDevice::WriteOwner, mode & 0200)
            .setFlag(QFileDevice::WriteUser, mode & 0200);
        p.setFlag(QFileDevice::ReadGroup, mode & 040).setFlag(QFileDevice::WriteGroup, mode & 020);
        p.setFlag(QFileDevice::ReadOther, mode & 04).setFlag(QFileDevice::WriteOther, mode & 02);
        return p;
    }();
    return permissions;
}
#endif

std::unique_ptr<QFile> createPartFile(const QString &directory, const QString &name)
{
    auto file = std::make_unique<PartFile>(partTemplate(directory, name));
    if (!file->openExclusive())
        return nullptr;
    // Qt may create the file without a name and link it in only when asked
    // for its name: a partial file must be there from the start.
    const QString path = file->fileName();
    if (path.isEmpty() || !QFileInfo::exists(path))
        return nullptr;
#ifndef Q_OS_WIN
    file->setPermissions(newFilePermissions());
#endif
    return file;
}

} // namespace

FileReceiver::FileReceiver(DirectoryProvider directory, OnCode onCode)
    : m_parser(this), m_directory(std::move(directory)), m_onCode(std::move(onCode)),
      m_hasher(std::make_unique<HashThread>())
{
    m_filling.reserve(size_t(WriteBytes));
    m_writing.reserve(size_t(WriteBytes));
}

// A file still open keeps what came in its partial file; no code.
FileReceiver::~FileReceiver()
{
    if (m_file)
        writeFilled();
}

void FileReceiver::feed(const QByteArray &chunk, qint64 nowMs)
{
    m_parser.feed(chunk, nowMs);
    endBatch();
}

void FileReceiver::feed(const QList<QByteArray> &chunks, qint64 nowMs)
{
    for (const QByteArray &chunk : chunks)
        m_parser.feed(chunk, nowMs);
    endBatch();
}

// What a batch brought is on disk before its code says so.
void FileReceiver::endBatch()
{
    if (m_file && !writeFilled()) {
        m_parser.discardTransfer();
        failWrite();
        return;
    }
    if (m_startDue) {
        announce(RecStarted);
    } else if (m_wrote && m_parser.transferOpen()) {
        announce(RecProgress);
    }
}

void FileReceiver::poll(qint64 nowMs)
{
    m_parser.poll(nowMs);
}

void FileReceiver::rawData(const QByteArray &bytes)
{
    m_rawData = bytes;
    announce(RecRawData);
}

bool FileReceiver::transferOpened(const FrameHeader &header)
{
    const QString name = Protocol::safeFileName(header.rawName);
    m_fileName = name;
    m_programFileRefused = false;
    if (name.isEmpty()) {
        announce(RecCreateFailed);
        return false;
    }
    const QString directory = receiveDirectory();
    if (ProgramFiles::isOwnFile(directory, name)) {
        m_programFileRefused = true;
        announce(RecCreateFailed);
        return false;
    }
    std::unique_ptr<QFile> file = createPartFile(directory, name);
    if (!file) {
        announce(RecCreateFailed);
        return false;
    }
    m_file = std::move(file);
    m_partPath = m_file->fileName();
    const QString finalPath = directory + QLatin1Char('/') + name;
    m_header = header;
    m_finalPath = finalPath;
    m_savedAs.clear();
    m_hasher->reset();
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
    return runWriteHook(data, size) && m_file->write(data, size) == size;
}

// Gathered, and written in large pieces: adjacent contents go to the disk
// in one call each WriteBytes.
bool FileReceiver::contents(const char *data, qsizetype size)
{
    if (!m_file)
        return false;
    m_fileBytes += quint64(size);
    m_wrote = true;
    while (size > 0) {
        const qsizetype room = WriteBytes - qsizetype(m_filling.size());
        const qsizetype piece = qMin(size, room);
        m_filling.insert(m_filling.end(), data, data + piece);
        data += piece;
        size -= piece;
        if (qsizetype(m_filling.size()) == WriteBytes && !writeFilled()) {
            failWrite();
            return false;
        }
    }
    return true;
}

// Hands the gathered contents to the hash thread and writes them meanwhile;
// the other buffer fills next, once its own hashing is done.
bool FileReceiver::writeFilled()
{
    if (m_filling.empty())
        return true;
    const quint64 ticket =
        m_header.hasMd5 ? m_hasher->add(m_filling.data(), qsizetype(m_filling.size())) : 0;
    const bool written = write(m_filling.data(), qsizetype(m_filling.size()));
    std::swap(m_filling, m_writing);
    std::swap(m_fillingTicket, m_writingTicket);
    m_writingTicket = ticket;
    m_hasher->waitFor(m_fillingTicket);
    m_filling.clear();
    return written;
}

void FileReceiver::transferEnded()
{
    if (!writeFilled() || !closeFile()) {
        failWrite();
        return;
    }
    // A digest field that is not 32 hex digits cannot vouch for the file.
    if (m_header.hasMd5 && !digestMatches()) {
        announce(RecMd5Mismatch);
        return;
    }
    if (!storeVerified()) {
        // Verified contents are never deleted for want of a name.
        m_savedAs = m_partPath;
        announce(RecWriteFailed);
        return;
    }
    announce(RecDone);
}

// Under its own name, or else under the first free "name (n)" beside it.
bool FileReceiver::storeVerified()
{
    if (replaceFile(m_partPath, m_finalPath))
        return true;
    for (int n = 1; n <= FreeNames; ++n) {
        const QString candidate = numberedPath(m_finalPath, n);
        if (moveFile(m_partPath, candidate, false)) {
            m_finalPath = candidate;
            m_savedAs = candidate;
            return true;
        }
    }
    return false;
}

bool FileReceiver::digestMatches()
{
    if (m_header.md5Hex.isEmpty())
        return false;
    if (!writeFilled()) {
        failWrite();
        return false;
    }
    return m_hasher->result().toHex() == m_header.md5Hex;
}

void FileReceiver::transferTimedOut()
{
    if (!writeFilled()) {
        failWrite();
        return;
    }
    closeFile();
    announce(RecTimeout);
}

// A temporary file's close() keeps its handle open for reuse; only deleting
// it lets go of the file, which Windows needs before the file can be renamed
// (or the user can touch a partial file).
bool FileReceiver::closeFile()
{
    const bool flushed = m_file && m_file->flush();
    m_file.reset();
    return flushed;
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
    m_filling.clear();
    m_savedAs.clear();
    // A partial file that keeps a full disk full fails the next file too.
    closeFile();
    QFile::remove(m_partPath);
    announce(RecWriteFailed);
}

void FileReceiver::announce(int code)
{
    if (code != RecStarted)
        announceStartIfDue();
    m_startDue = false;
    m_wrote = false;
    if (code != RecRawData && code != RecCreateFailed)
        m_totalBytes = m_parser.transferBytes();
    m_onCode(code, *this);
}

// An opening chunk that also ends its transfer still reports RecStarted
// before the end code.
void FileReceiver::announceStartIfDue()
{
    if (m_startDue) {
        m_startDue = false;
        announce(RecStarted);
    }
}
