#pragma once

// Small helpers shared by the benchmarks: clocks, memory readings, file
// contents and printing. Linux only, like the benchmarks themselves.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <sys/resource.h>

namespace Bench {

// The engine logs every MD5 it computes; that would bury the figures.
inline void silenceDebugOutput()
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
}

// CPU seconds (user + system) of the process (RUSAGE_SELF) or of the calling
// thread (RUSAGE_THREAD).
inline double cpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline long contextSwitches(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// A "VmRSS"-style line of /proc/self/status, in KiB; -1 when missing.
inline qint64 statusKiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The mount that holds path, as "type device on mountpoint", so that a
// throughput can be read against the file system that took the writes.
inline QString fileSystemOf(const QString &path)
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    QString best;
    QString description = QStringLiteral("unknown");
    const QList<QByteArray> lines = mounts.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3)
            continue;
        const QString mountPoint = QString::fromUtf8(fields.at(1));
        const bool inside = path == mountPoint || mountPoint == QLatin1String("/") ||
                            path.startsWith(mountPoint + QLatin1Char('/'));
        if (inside && mountPoint.size() >= best.size()) {
            best = mountPoint;
            description = QString::fromUtf8(fields.at(2)) + QLatin1Char(' ') +
                          QString::fromUtf8(fields.at(0)) + QStringLiteral(" on ") + mountPoint;
        }
    }
    return description;
}

// Pseudo-random bytes, word by word: a per-byte generator would take longer
// than the runs it feeds.
inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qsizetype words = size / qsizetype(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), words);
    for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
        bytes[int(i)] = char(generator.generate());
    return bytes;
}

// Writes size pseudo-random bytes to path, one reused piece at a time.
inline bool writeRandomFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 pieceSize = 4 * 1024 * 1024;
    const QByteArray piece = randomBytes(pieceSize, seed);
    for (qint64 left = size; left > 0; left -= pieceSize) {
        const qint64 take = qMin(left, pieceSize);
        if (file.write(piece.constData(), take) != take)
            return false;
    }
    return file.flush();
}

// Views of data in pieces of size bytes; they share data's memory, which
// must outlive them.
inline QList<QByteArray> chunkViews(const QByteArray &data, int size)
{
    QList<QByteArray> chunks;
    chunks.reserve(data.size() / size + 1);
    for (int at = 0; at < data.size(); at += size)
        chunks.append(QByteArray::fromRawData(data.constData() + at, qMin(size, data.size() - at)));
    return chunks;
}

inline double megabytesPerSecond(double bytes, double seconds)
{
    return seconds > 0 ? bytes / seconds / 1e6 : 0.0;
}

inline void heading(const char *text)
{
    std::printf("\n-- %s\n", text);
    std::fflush(stdout);
}

// "--name value" from the arguments, or fallback.
inline qint64 option(const QStringList &arguments, const char *name, qint64 fallback)
{
    const int at = arguments.indexOf(QLatin1String(name));
    if (at < 0 || at + 1 >= arguments.size())
        return fallback;
    bool ok = false;
    const qint64 value = arguments.at(at + 1).toLongLong(&ok);
    return ok ? value : fallback;
}

} // namespace Bench
