#include "interrupt.h"

#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#endif

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef Q_OS_WIN
BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    interrupted = true;
    return TRUE;
}
#else
void onSignal(int)
{
    interrupted = true;
}

void catchSignal(int signalNumber)
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}
#endif

} // namespace

void Interrupt::install()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    catchSignal(SIGINT);
#endif
}

void Interrupt::alsoOnTerminate()
{
#ifndef Q_OS_WIN
    catchSignal(SIGTERM);
#endif
}

void Interrupt::request()
{
    interrupted = true;
}

const std::atomic<bool> &Interrupt::flag()
{
    return interrupted;
}
