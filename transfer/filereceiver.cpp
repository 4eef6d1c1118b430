#include "transfer/filereceiver.h"

#include "transfer/programfiles.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <atomic>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
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

constexpr int PartPrefixLength = 32;

// Replaces target by source in one step. A target that is a link is
// replaced, not followed, and the old file is never deleted first.
bool replaceFile(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    const QString from = QDir::toNativeSeparators(source);
    const QString to = QDir::toNativeSeparators(target);
    return MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                       reinterpret_cast<const wchar_t *>(to.utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
#endif
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

FileReceiver::FileReceiver(DirectoryProvider directory, Reporter report)
    : m_parser(this), m_directory(std::move(directory)), m_report(std::move(report)),
      m_hash(QCryptographicHash::Md5)
{}

// A file still open keeps what was written in its partial file; no code.
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
    m_fileName = name;
    m_programFileRefused = false;
    if (name.isEmpty()) {
        report(RecCreateFailed);
        return false;
    }
    const QString directory = receiveDirectory();
    if (ProgramFiles::isOwnFile(directory, name)) {
        m_programFileRefused = true;
        report(RecCreateFailed);
        return false;
    }
    std::unique_ptr<QFile> file = createPartFile(directory, name);
    if (!file) {
        report(RecCreateFailed);
        return false;
    }
    m_file = std::move(file);
    m_partPath = m_file->fileName();
    const QString finalPath = directory + QLatin1Char('/') + name;
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
    return runWriteHook(data, size) && m_file->write(data, size) == size;
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
    if (!closeFile()) {
        failWrite();
        return;
    }
    // A digest field that is not 32 hex digits cannot vouch for the file.
    if (m_header.hasMd5 && !digestMatches()) {
        report(RecMd5Mismatch);
        return;
    }
    if (!replaceFile(m_partPath, m_finalPath)) {
        failWrite();
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
    closeFile();
    report(RecTimeout);
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
    // A partial file that keeps a full disk full fails the next file too.
    closeFile();
    QFile::remove(m_partPath);
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
