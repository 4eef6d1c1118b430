#include "transfer/unackedbytes.h"

#ifdef Q_OS_WIN
// TCP_INFO_v0 is declared for Windows 10 1703 and later; whether the system
// has it shows when it is asked.
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000003 // NTDDI_WIN10_RS2
#endif
#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#if defined(Q_OS_LINUX)
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// Loopback acknowledges at once; a slow peer needs no finer look than this.
constexpr int MaxPollMs = 20;

#if defined(Q_OS_LINUX)
qint64 outQueue(qintptr handle)
{
    int bytes = 0;
    return ioctl(int(handle), SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

qintptr duplicate(qintptr descriptor)
{
    return fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
}

void closeSocket(qintptr handle)
{
    ::close(int(handle));
}
#elif defined(Q_OS_WIN)
#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

bool tcpInfo(qintptr handle, TCP_INFO_v0 *info)
{
    DWORD version = 0;
    DWORD returned = 0;
    return WSAIoctl(SOCKET(handle), SIO_TCP_INFO, &version, sizeof(version), info, sizeof(*info),
                    &returned, nullptr, nullptr) == 0;
}

qintptr duplicate(qintptr descriptor)
{
    WSAPROTOCOL_INFOW protocol = {};
    if (WSADuplicateSocketW(SOCKET(descriptor), GetCurrentProcessId(), &protocol) != 0)
        return -1;
    const SOCKET copy = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO,
                                   &protocol, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return copy == INVALID_SOCKET ? -1 : qintptr(copy);
}

void closeSocket(qintptr handle)
{
    closesocket(SOCKET(handle));
}
#else
qintptr duplicate(qintptr)
{
    return -1;
}

void closeSocket(qintptr) {}
#endif

} // namespace

UnackedBytes::UnackedBytes(QTcpSocket *socket) : m_socket(socket)
{
    if (!socket)
        return;
    m_written = quint64(socket->bytesToWrite());
    m_handedWatch = QObject::connect(socket, &QIODevice::channelBytesWritten,
                                     [this](int, qint64 bytes) { m_handed += quint64(bytes); });
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor != -1)
        m_handle = duplicate(descriptor);
    if (m_handle == -1)
        return;
#if defined(Q_OS_LINUX)
    if (outQueue(m_handle) >= 0)
        m_source = LinuxOutQueue;
#elif defined(Q_OS_WIN)
    TCP_INFO_v0 info = {};
    if (tcpInfo(m_handle, &info)) {
        m_source = WindowsTcpInfo;
        m_sentAtStart = info.BytesOut;
        m_retransmittedAtStart = info.BytesRetrans;
    }
#endif
    if (m_source == QtBufferOnly)
        closeHandle();
}

UnackedBytes::~UnackedBytes()
{
    QObject::disconnect(m_handedWatch);
    closeHandle();
}

void UnackedBytes::closeHandle()
{
    if (m_handle != -1)
        closeSocket(m_handle);
    m_handle = -1;
}

bool UnackedBytes::write(const QByteArray &data)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    const qint64 written = m_socket->write(data);
    if (written > 0)
        m_written += quint64(written);
    return written == data.size();
}

qint64 UnackedBytes::count() const
{
    const qint64 system = systemCount();
    if (system < 0)
        return -1;
    // Qt drops its buffer with the connection: what it still held is lost.
    const bool connected = m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    const quint64 inQt = connected ? quint64(m_socket->bytesToWrite())
                                   : (m_written > m_handed ? m_written - m_handed : 0);
    return qint64(inQt) + system;
}

qint64 UnackedBytes::systemCount() const
{
    switch (m_source) {
    case QtBufferOnly:
        return m_socket && m_socket->state() == QAbstractSocket::ConnectedState ? 0 : -1;
#if defined(Q_OS_LINUX)
    case LinuxOutQueue:
        return outQueue(m_handle);
#elif defined(Q_OS_WIN)
    case WindowsTcpInfo: {
        // Bytes in the system's buffer that it has not sent yet are not in
        // flight: they are what Qt handed over less what went out once.
        // BytesOut counts each retransmission again, as BytesRetrans.
        TCP_INFO_v0 info = {};
        if (!tcpInfo(m_handle, &info))
            return -1;
        const quint64 out = info.BytesOut - m_sentAtStart;
        const quint64 again = quint32(info.BytesRetrans - m_retransmittedAtStart);
        const quint64 sentOnce = out > again ? out - again : 0;
        const quint64 unsent = m_handed > sentOnce ? m_handed - sentOnce : 0;
        return qint64(unsent + info.BytesInFlight);
    }
#endif
    default:
        return -1;
    }
}

UnackedBytes::Outcome UnackedBytes::waitForAll(const Rules &rules)
{
    return waitUntilQueued(-1, rules);
}

UnackedBytes::Outcome UnackedBytes::waitForRoom(qint64 queued, const Rules &rules)
{
    return waitUntilQueued(queued, rules);
}

// The count first: a peer that closes right after its last acknowledgement
// has taken every byte, though the connection is gone by the time we look.
UnackedBytes::Outcome UnackedBytes::waitUntilQueued(qint64 queued, const Rules &rules)
{
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    qint64 fewest = -1;
    int pollMs = 1;
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    for (;;) {
        // Hands over what Qt still holds now rather than at the next event,
        // and tries the connection rather than only waiting to be told: a
        // reset the system never reports as an event shows as a failed write.
        if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->flush();
        const qint64 left = count();
        if (left == 0)
            return Acknowledged;
        if (left < 0 || rules.lost())
            return Lost;
        if (queued >= 0 && m_socket && m_socket->bytesToWrite() <= queued)
            return Acknowledged;
        if (rules.stop())
            return Stopped;
        if (fewest < 0 || left < fewest) {
            fewest = left;
            sinceProgress.restart();
            pollMs = 1;
        } else if (sinceProgress.elapsed() >= rules.stallMs) {
            return Stalled;
        }
        wakeUp.start(pollMs);
        pollMs = qMin(2 * pollMs, MaxPollMs);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
