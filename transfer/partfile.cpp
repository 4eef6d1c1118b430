#include "transfer/partfile.h"

#include "transfer/win32path.h"

#include <QFileInfo>
#include <QTemporaryFile>
#include <QThread>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#endif

namespace {

constexpr int PartPrefixLength = 32;

constexpr int RetryMs = 100;
constexpr int Retries = 10; // a moment for another program to let go
constexpr int FreeNames = 99;

#ifdef Q_OS_WIN
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
class ExclusiveFile : public QTemporaryFile
{
public:
    explicit ExclusiveFile(const QString &templateName) : QTemporaryFile(templateName)
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

} // namespace

namespace PartFile {

std::unique_ptr<QFile> create(const QString &directory, const QString &name)
{
    auto file = std::make_unique<ExclusiveFile>(partTemplate(directory, name));
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

bool replace(const QString &partPath, const QString &target)
{
    for (int attempt = 0;; ++attempt) {
        if (moveFile(partPath, target, true))
            return true;
        if (attempt == Retries || !targetBusy())
            return false;
        QThread::msleep(RetryMs);
    }
}

QString moveToFreeName(const QString &partPath, const QString &target)
{
    for (int n = 1; n <= FreeNames; ++n) {
        QString candidate = numberedPath(target, n);
        if (moveFile(partPath, candidate, false))
            return candidate;
    }
    return QString();
}

} // namespace PartFile
