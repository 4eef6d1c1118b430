#include "transfer/ownfiles.h"

#include "transfer/win32path.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

// A folder that ignores case, as on Windows and on some disks elsewhere,
// finds the program's files under any case.
constexpr Qt::CaseSensitivity NameCase = Qt::CaseInsensitive;

// A file or folder as the file system knows it, whatever spelling of its
// path reached it: another case, an 8.3 name, a link, another mount.
struct Identity
{
    quint64 volume = 0;
    quint64 index = 0;
    bool valid = false;

    bool operator==(const Identity &other) const
    {
        return valid && other.valid && volume == other.volume && index == other.index;
    }
};

Identity identityOf(const QString &path)
{
    Identity identity;
#ifdef Q_OS_WIN
    // No access asked, so a running program or a locked file can be looked
    // at too; backup semantics open a folder.
    const QString native = win32Path(path);
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(native.utf16()), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        identity.volume = info.dwVolumeSerialNumber;
        identity.index = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        identity.valid = true;
    }
    CloseHandle(handle);
#else
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        identity.volume = quint64(status.st_dev);
        identity.index = quint64(status.st_ino);
        identity.valid = true;
    }
#endif
    return identity;
}

bool isProgramFolder(const QString &directory)
{
    return QCoreApplication::instance() &&
           identityOf(directory) == identityOf(QCoreApplication::applicationDirPath());
}

bool isProgramOrLibrary(const QString &name)
{
    const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.compare(self, NameCase) == 0)
        return true;
    for (const char *program : {"kvr-file-transfer", "kvr-transfer", "kvr-controller-sim"}) {
        const QString base = QLatin1String(program);
        if (name.compare(base, NameCase) == 0 ||
            name.compare(base + QLatin1String(".exe"), NameCase) == 0)
            return true;
    }
    return name.endsWith(QLatin1String(".exe"), NameCase) ||
           name.endsWith(QLatin1String(".dll"), NameCase) ||
           name.endsWith(QLatin1String(".so"), NameCase) ||
           name.contains(QLatin1String(".so."), NameCase);
}

bool isKeptFile(const QString &name)
{
    for (const char *kept :
         {"qt.conf", "settings.ini", "portable.txt", "history.csv", "history.1.csv"}) {
        if (name.compare(QLatin1String(kept), NameCase) == 0)
            return true;
    }
    return false;
}

bool isProgramName(const QString &name)
{
    return isProgramOrLibrary(name) || isKeptFile(name);
}

// An existing file that is one of them under another name: an 8.3 name, or
// a hard link, in any folder.
bool isProgramFileByIdentity(const QString &path)
{
    const Identity target = identityOf(path);
    if (!target.valid || !QCoreApplication::instance())
        return false;
    const QDir folder(QCoreApplication::applicationDirPath());
    const QStringList names =
        folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QString &name : names) {
        if (isProgramName(name) && identityOf(folder.filePath(name)) == target)
            return true;
    }
    return false;
}

} // namespace

bool OwnFiles::contains(const QString &directory, const QString &name)
{
    const QString path = QDir(directory).filePath(name);
    if (isProgramFolder(directory) && (isProgramName(name) || QFileInfo(path).isDir()))
        return true;
    return isProgramFileByIdentity(path);
}
