#pragma once

#include "settings/existingfiles.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <atomic>

// A value that one thread writes and another reads: every access is a copy
// taken under the value's own lock, so a reader never sees half a write.
template <typename T> class GuardedValue
{
public:
    T get() const
    {
        QMutexLocker locker(&m_mutex);
        return m_value;
    }
    void set(const T &value)
    {
        QMutexLocker locker(&m_mutex);
        m_value = value;
    }

private:
    mutable QMutex m_mutex;
    T m_value{};
};

// Process-wide values shared by the window (GUI thread), the worker and the
// receive engine (receive thread). The engine writes the receive values just
// before it emits the receive code that reports them.

// Receive directory; an empty one means the application's directory.
extern GuardedValue<QString> saveFilePath;
// What a verified file does to one of its name already there.
extern std::atomic<ExistingFiles> existingFilesRule;
// The last bytes that arrived outside a file transfer.
extern GuardedValue<QByteArray> rawData;
// Size announced by the header of the current reception.
extern std::atomic<quint64> recFileSize;
// Content bytes written to the file in the current reception.
extern std::atomic<quint64> recFileBytes;
// Wire bytes of the current reception, markers included.
extern std::atomic<quint64> recTotalBytes;
// Lower-case hex MD5 of the last file hashed for sending.
extern GuardedValue<QString> file_md5;
