#include "servicenotifier.h"

#include <QCoreApplication>
#include <QtGlobal>

#include <climits>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace {

// A watchdog meant for another process (WATCHDOG_PID) is not this one's.
qint64 watchdogIntervalMs()
{
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != QCoreApplication::applicationPid())
        return 0;
    return qgetenv("WATCHDOG_USEC").toLongLong() / 2000;
}

} // namespace

ServiceNotifier::ServiceNotifier() : m_socket(qgetenv("NOTIFY_SOCKET"))
{
    const qint64 intervalMs = watchdogIntervalMs();
    if (!active() || intervalMs <= 0)
        return;
    connect(&m_watchdog, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
    m_watchdog.start(int(qBound<qint64>(1, intervalMs, INT_MAX)));
}

void ServiceNotifier::ready()
{
    notify("READY=1");
}

// One line: the protocol ends a value at its line break.
void ServiceNotifier::status(const QString &line)
{
    QString text = line;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    notify("STATUS=" + text.toUtf8());
}

void ServiceNotifier::stopping()
{
    m_watchdog.stop();
    notify("STOPPING=1");
}

void ServiceNotifier::notify(const QByteArray &message)
{
    if (active())
        send(m_socket, message);
}

bool ServiceNotifier::send(const QByteArray &socketName, const QByteArray &message)
{
#ifdef Q_OS_LINUX
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (socketName.isEmpty() || size_t(socketName.size()) > sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socketName.constData(), size_t(socketName.size()));
    // An abstract name has no file: its first byte is a zero.
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(socketName.size()));
    // A manager that does not read now must not hold the receiver up.
    const ssize_t sent =
        ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL | MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr *>(&address), length);
    ::close(fd);
    return sent == message.size();
#else
    Q_UNUSED(socketName)
    Q_UNUSED(message)
    return false;
#endif
}
