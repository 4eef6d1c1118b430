#include "signalwatcher.h"

#include <QMutex>
#include <QMutexLocker>

#include <csignal>
#include <qt_windows.h>

// Windows has no SIGINT or SIGTERM to catch from outside: Ctrl+C, Ctrl+Break
// and closing the console arrive at a console control handler instead, which
// the system calls in a thread of its own. They are reported as SIGINT
// (Ctrl+C) and SIGTERM (the others), whatever numbers were asked for.
namespace {

QMutex instanceLock;
SignalWatcher *instance = nullptr;

BOOL WINAPI handleConsoleEvent(DWORD event)
{
    const int signalNumber = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    {
        QMutexLocker locker(&instanceLock);
        if (!instance)
            return FALSE;
        SignalWatcher *watcher = instance;
        QMetaObject::invokeMethod(
            watcher, [watcher, signalNumber] { emit watcher->received(signalNumber); },
            Qt::QueuedConnection);
    }
    // The system ends the process as soon as this returns from a close,
    // log-off or shut-down event; waiting here lets the event loop stop
    // and main() return 0, which ends this thread too.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int>, QObject *parent) : QObject(parent)
{
    QMutexLocker locker(&instanceLock);
    Q_ASSERT(!instance);
    instance = this;
    // A process started in a group of its own ignores Ctrl+C unless told.
    m_valid =
        SetConsoleCtrlHandler(nullptr, FALSE) && SetConsoleCtrlHandler(handleConsoleEvent, TRUE);
}

SignalWatcher::~SignalWatcher()
{
    SetConsoleCtrlHandler(handleConsoleEvent, FALSE);
    QMutexLocker locker(&instanceLock);
    instance = nullptr;
}
