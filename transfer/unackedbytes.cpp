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

#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace {

// Loopback acknowledges at once; a slow peer needs no finer look than this.
constexpr int MaxPollMs = 20;

#if defined(Q_OS_LINUX)
qint64 outQueue(qintptr descriptor)
{
    int bytes = 0;
    return ioctl(int(descriptor), SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}
#elif defined(Q_OS_WIN)
bool tcpInfo(qintptr descriptor, TCP_INFO_v0 *info)
{
    DWORD version = 0;
    DWORD returned = 0;
    return WSAIoctl(SOCKET(descriptor), SIO_TCP_INFO, &version, sizeof(version), info,
                    sizeof(*info), &returned, nullptr, nullptr) == 0;
}
#endif

} // namespace

UnackedBytes::UnackedBytes(QTcpSocket *socket) : m_socket(socket)
{
    const qintptr descriptor = socket ? socket->socketDescriptor() : -1;
    if (descriptor == -1)
        return;
#if defined(Q_OS_LINUX)
    if (outQueue(descriptor) >= 0)
        m_source = LinuxOutQueue;
#elif defined(Q_OS_WIN)
    // Bytes in the system's buffer that it has not sent yet are not in
    // flight: they are what Qt handed over less what went out since.
    TCP_INFO_v0 info = {};
    if (tcpInfo(descriptor, &info)) {
        m_source = WindowsTcpInfo;
        m_sentAtStart = info.BytesOut;
        m_handedWatch = QObject::connect(socket, &QIODevice::channelBytesWritten,
                                         [this](int, qint64 bytes) { m_handed += quint64(bytes); });
    }
#endif
}

UnackedBytes::~UnackedBytes()
{
#ifdef Q_OS_WIN
    QObject::disconnect(m_handedWatch);
#endif
}

qint64 UnackedBytes::count() const
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return -1;
    const qint64 system = systemCount();
    return system < 0 ? -1 : m_socket->bytesToWrite() + system;
}

qint64 UnackedBytes::systemCount() const
{
    const qintptr descriptor = m_socket->socketDescriptor();
    switch (m_source) {
    case QtBufferOnly:
        return 0;
#if defined(Q_OS_LINUX)
    case LinuxOutQueue:
        return outQueue(descriptor);
#elif defined(Q_OS_WIN)
    case WindowsTcpInfo: {
        TCP_INFO_v0 info = {};
        if (!tcpInfo(descriptor, &info))
            return -1;
        const quint64 sent = info.BytesOut - m_sentAtStart;
        const quint64 unsent = m_handed > sent ? m_handed - sent : 0;
        return qint64(unsent + info.BytesInFlight);
    }
#endif
    default:
        return -1;
    }
}

UnackedBytes::Outcome UnackedBytes::waitForAll(const std::function<bool()> &lost,
                                               const std::function<bool()> &stop, int stallMs)
{
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    qint64 fewest = -1;
    int pollMs = 1;
    QTimer wakeUp;
    wakeUp.setSingleShot(true);
    for (;;) {
        if (lost())
            return Lost;
        // Hands over what Qt still holds now rather than at the next event,
        // and tries the connection rather than only waiting to be told: a
        // reset the system never reports as an event shows as a failed write.
        if (m_socket)
            m_socket->flush();
        const qint64 left = count();
        if (left < 0)
            return Lost;
        if (left == 0)
            return Acknowledged;
        if (stop())
            return Stopped;
        if (fewest < 0 || left < fewest) {
            fewest = left;
            sinceProgress.restart();
            pollMs = 1;
        } else if (sinceProgress.elapsed() >= stallMs) {
            return Stalled;
        }
        wakeUp.start(pollMs);
        pollMs = qMin(2 * pollMs, MaxPollMs);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
