#pragma once

#include <QObject>
#include <QTimer>

// When to try again to reach a controller that dropped the connection or
// refused it (it may be rebooting): 1, 2, 4 and 8 s after the first failures,
// then every 10 s, until a connect succeeds or the run is stopped. It only
// says when; the caller connects and reports how each connect went. There is
// one wait at a time and never one while a connect is under way, so a
// controller that refuses at once is not tried more often than that. Nor is
// one that takes the connection and drops it at once: the waits start short
// again only after a connection has lasted as long as the longest wait.
class ReconnectSchedule : public QObject
{
    Q_OBJECT

public:
    explicit ReconnectSchedule(QObject *parent = nullptr);

    // The n-th wait since the link was last steady, counted from 1.
    static int delayBeforeMs(int wait);

    // Off, nothing is retried and a run ends; turned on after a loss, a run
    // starts.
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }

    // What the caller reports. A connect began, whoever asked for it:
    void connectStarted();
    void connected();
    // The connection dropped or a connect failed, without the user asking.
    void linkLost();
    // The user ended the connection: nothing is retried until the next
    // connect.
    void stop();

    // A run is on from its first wait until it ends: waiting, or connecting.
    bool isRunning() const { return m_attempt > 0; }
    // The attempt waited for or under way; 0 outside a run.
    int attempt() const { return m_attempt; }

    // The time seam: the wait now running (-1 for none), and ending it, or
    // the time a new connection takes to count as steady, at once, as if
    // their time had passed.
    int waitingMs() const;
    void endWaitNow();
    void endSettlingNow();

signals:
    // Time to connect: the run counts the connect as begun.
    void attemptDue(int attempt);

private:
    enum class Link { Idle, Connecting, Connected, Lost, Waiting };

    void waitForNextAttempt();
    void onWaitEnded();
    void onSettled();

    QTimer m_wait;
    // Runs from a connection until it counts as steady.
    QTimer m_settling;
    Link m_link = Link::Idle;
    int m_attempt = 0;
    // Waits since the link was last steady: how long the next one is.
    int m_waits = 0;
    bool m_enabled = false;
};
