#pragma once

#include "session.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

// Speaks systemd's notify protocol for a receiver run as a service: one
// datagram per message to the socket that NOTIFY_SOCKET names (a path, or
// an abstract name starting with '@'), without libsystemd. READY=1 once the
// run can receive, STATUS= with the connection and the last file,
// WATCHDOG=1 every half of WATCHDOG_USEC, STOPPING=1 at the end. Without
// NOTIFY_SOCKET (or on Windows) it says nothing.
class ServiceNotifier : public QObject, public Session::ReceiveWatcher
{
    Q_OBJECT

public:
    // From the environment of the process.
    ServiceNotifier();

    bool active() const { return !m_socket.isEmpty(); }
    void ready();
    void status(const QString &line) override;
    void stopping() override;

    // One datagram to the socket named as NOTIFY_SOCKET names it.
    static bool send(const QByteArray &socketName, const QByteArray &message);

private:
    void notify(const QByteArray &message);

    const QByteArray m_socket;
    QTimer m_watchdog;
};
