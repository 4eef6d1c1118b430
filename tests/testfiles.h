#pragma once

// Helpers shared by the engine tests and the benchmark: file contents,
// framed streams and chunkings.

#include "transfer/filesender.h"
#include "transfer/protocol.h"
#include "transfer/unackedbytes.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <vector>

#ifdef Q_OS_WIN
#include <qt_windows.h> // with the sockets' options
#else
#include <sys/socket.h>
#endif

namespace TestFiles {

#ifdef Q_OS_WIN
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

inline QByteArray randomBytes(int size, quint32 seed = 1)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(generator.bounded(256));
    return bytes;
}

// Random contents, much quicker than randomBytes() for files of many MiB.
inline QByteArray noise(int size, quint32 seed)
{
    std::vector<quint32> words(size_t(size) / 4 + 1);
    QRandomGenerator(seed).fillRange(words.data(), qsizetype(words.size()));
    return QByteArray(reinterpret_cast<const char *>(words.data()), size);
}

inline QByteArray md5Hex(const QByteArray &contents)
{
    return QCryptographicHash::hash(contents, QCryptographicHash::Md5).toHex();
}

// The stream this system's sender writes for one file.
inline QByteArray framed(const QString &name, const QByteArray &contents, bool withMd5 = true)
{
    return Protocol::buildHeader(name, quint64(contents.size()),
                                 withMd5 ? md5Hex(contents) : QByteArray()) +
           contents + Protocol::endMarker();
}

// Cuts data into chunks of the given size (the last may be shorter).
inline QList<QByteArray> chunked(const QByteArray &data, int size)
{
    QList<QByteArray> chunks;
    for (int at = 0; at < data.size(); at += size)
        chunks.append(data.mid(at, size));
    return chunks;
}

// Cuts data at random places into chunks of 1 to maxSize bytes.
inline QList<QByteArray> randomlyChunked(const QByteArray &data, quint32 seed, int maxSize)
{
    QRandomGenerator generator(seed);
    QList<QByteArray> chunks;
    for (int at = 0; at < data.size();) {
        const int size = int(generator.bounded(maxSize)) + 1;
        chunks.append(data.mid(at, size));
        at += size;
    }
    return chunks;
}

inline bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

// A file of size bytes of noise, no 4 MiB piece like another, so that a
// piece delivered out of place shows; its MD5 in hex, or empty on failure.
inline QByteArray writeNoiseFile(const QString &path, qint64 size, quint32 seed)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    const qint64 pieceSize = 4 * 1024 * 1024;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QByteArray();
    for (qint64 left = size; left > 0; left -= pieceSize) {
        const QByteArray piece = noise(int(qMin(left, pieceSize)), seed++);
        hash.addData(piece);
        if (file.write(piece) != piece.size())
            return QByteArray();
    }
    return file.flush() ? hash.result().toHex() : QByteArray();
}

// Replaces bytes in place, as an editor saving over the file would.
inline bool overwrite(const QString &path, qint64 at, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(at) && file.write(bytes) == bytes.size();
}

// Closes the connection with a reset (SO_LINGER 0), as a controller that
// drops it does.
inline void resetConnection(QTcpSocket *connection)
{
    struct linger reset = {};
    reset.l_onoff = 1;
    setsockopt(NativeSocket(connection->socketDescriptor()), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char *>(&reset), sizeof(reset));
    connection->abort();
}

// Whether this system tells how many bytes a peer has not acknowledged
// yet (Wine 8 does not).
inline bool countsAcknowledgements()
{
    QTcpServer server;
    QTcpSocket socket;
    if (!server.listen(QHostAddress::LocalHost))
        return false;
    socket.connectToHost(QHostAddress::LocalHost, server.serverPort());
    return socket.waitForConnected(10000) &&
           UnackedBytes(&socket).source() != UnackedBytes::QtBufferOnly;
}

// Connections the server accepts from now on take at most about this many
// unread bytes before they stop acknowledging more.
inline bool limitReceiveBuffer(const QTcpServer &server, int bytes)
{
    return setsockopt(NativeSocket(server.socketDescriptor()), SOL_SOCKET, SO_RCVBUF,
                      reinterpret_cast<const char *>(&bytes), sizeof(bytes)) == 0;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Shows a partial file, ".<name-prefix>.<random>.part", as
// "<name-prefix>.part"; other names as they are.
inline QString partialAsNamed(const QString &fileName)
{
    static const QRegularExpression partial(QStringLiteral("^\\.(.+)\\.[^.]{6}\\.part$"));
    const QRegularExpressionMatch match = partial.match(fileName);
    return match.hasMatch() ? match.captured(1) + QStringLiteral(".part") : fileName;
}

} // namespace TestFiles
