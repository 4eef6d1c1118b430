#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal. The handler only writes the signal
// number to a pipe; the event loop reads it, so no Qt code runs inside the
// handler. One instance per process. On Windows, the console's Ctrl+C,
// Ctrl+Break and close events (signalwatcher_win.cpp).
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    ~SignalWatcher() override;

    // False when the pipe or a handler could not be set up.
    bool isValid() const { return m_valid; }

signals:
    void received(int signalNumber);

private:
    static void handle(int signalNumber);
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    bool m_valid = false;
};
