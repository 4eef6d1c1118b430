#include "history/historydisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include "transfer/win32path.h"
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

HistoryDisk::~HistoryDisk()
{
    close();
}

qint64 HistoryDisk::size(const QString &path) const
{
    const QFileInfo file(path);
    return file.exists() ? file.size() : -1;
}

bool HistoryDisk::remove(const QString &path)
{
    return QFile::remove(path);
}

bool HistoryDisk::rename(const QString &from, const QString &to)
{
    return QFile::rename(from, to);
}

#ifdef Q_OS_WIN
// Made in place: every line here takes the lock file, so none can come
// between the file's creation and its header. (A temporary file renamed
// over the name failed under Wine, and every line with it.)
bool HistoryDisk::create(const QString &path, const QByteArray &bytes)
{
    // The native path outlives every call that is given its characters.
    const QString nativePath = win32Path(path);
    const auto *name = reinterpret_cast<const wchar_t *>(nativePath.utf16());
    const HANDLE file =
        CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file, bytes.constData(), DWORD(bytes.size()), &written, nullptr) &&
                       written == DWORD(bytes.size());
    CloseHandle(file);
    if (!whole)
        DeleteFileW(name);
    return whole;
}

// Qt opens a file for appending with write access and seeks to its end, so
// two processes may write at the same place. With append access alone the
// system puts every write at the end. Deleting is shared for the roll-over.
QString HistoryDisk::open(const QString &path, bool mayCreate)
{
    close();
    m_path = path;
    const HANDLE file = CreateFileW(
        reinterpret_cast<const wchar_t *>(win32Path(path).utf16()), FILE_APPEND_DATA | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        mayCreate ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return m_error = qt_error_string(int(GetLastError()));
    m_handle = file;
    return m_error = QString();
}

qint64 HistoryDisk::write(const QByteArray &bytes)
{
    qint64 done = 0;
    DWORD written = 0;
    while (done < bytes.size() &&
           WriteFile(m_handle, bytes.constData() + done, DWORD(bytes.size() - done), &written,
                     nullptr) &&
           written > 0)
        done += written;
    m_error = done == bytes.size() ? QString() : qt_error_string(int(GetLastError()));
    // Every line is written under the lock, so the end is this line's.
    LARGE_INTEGER end{};
    m_end = GetFileSizeEx(m_handle, &end) ? end.QuadPart : -1;
    return done;
}

// An append-only handle cannot shorten the file; a second one may.
bool HistoryDisk::cutBack(qint64 bytes)
{
    LARGE_INTEGER size{};
    if (m_end < bytes || !GetFileSizeEx(m_handle, &size) || size.QuadPart != m_end)
        return false;
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t *>(win32Path(m_path).utf16()), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER lineStart{};
    lineStart.QuadPart = m_end - bytes;
    const bool cut = SetFilePointerEx(file, lineStart, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return cut;
}

void HistoryDisk::close()
{
    if (m_handle)
        CloseHandle(m_handle);
    m_handle = nullptr;
}
#else
// Made under a name of its own, then linked to the file's, which fails if
// another process made it first.
bool HistoryDisk::create(const QString &path, const QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(path);
    {
        QTemporaryFile made(path + QLatin1String(".XXXXXX"));
        // As the file it becomes would have been made, not private.
        if (!made.open() || made.write(bytes) != bytes.size() || !made.flush() ||
            !made.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser |
                                 QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther))
            return false;
        if (::link(QFile::encodeName(made.fileName()).constData(), name.constData()) == 0 ||
            errno == EEXIST)
            return true;
    }
    // A file system without hard links (FAT): made in place, where a line
    // may come before the header in the instant between.
    const int file = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0)
        return errno == EEXIST;
    const bool whole = ::write(file, bytes.constData(), size_t(bytes.size())) == bytes.size();
    ::close(file);
    if (!whole)
        ::unlink(name.constData());
    return whole;
}

// O_APPEND puts each write at the end, whole.
QString HistoryDisk::open(const QString &path, bool mayCreate)
{
    close();
    m_path = path;
    m_fd = ::open(QFile::encodeName(path).constData(),
                  O_WRONLY | O_APPEND | O_CLOEXEC | (mayCreate ? O_CREAT : 0), 0666);
    return m_error = m_fd < 0 ? qt_error_string(errno) : QString();
}

qint64 HistoryDisk::write(const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        done += written;
    }
    m_error = done == bytes.size() ? QString() : qt_error_string(errno);
    // After an append the offset is where this write ended, whoever else
    // appended since.
    m_end = ::lseek(m_fd, 0, SEEK_CUR);
    return done;
}

bool HistoryDisk::cutBack(qint64 bytes)
{
    struct stat file
    {
    };
    if (m_end < bytes || ::fstat(m_fd, &file) != 0 || file.st_size != m_end)
        return false;
    return ::ftruncate(m_fd, m_end - bytes) == 0;
}

void HistoryDisk::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
#endif
