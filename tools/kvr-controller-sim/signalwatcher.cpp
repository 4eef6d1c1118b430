#include "signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

int pipeFds[2] = {-1, -1};

bool installHandler(int signalNumber, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(signalNumber, &action, nullptr) == 0;
}

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    Q_ASSERT(pipeFds[0] < 0);
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    m_valid = true;
    for (int signalNumber : signalNumbers)
        m_valid = installHandler(signalNumber, &SignalWatcher::handle) && m_valid;
}

// The handlers stay: a signal arriving after this finds no pipe and
// is dropped, which is what a process on its way out wants.
SignalWatcher::~SignalWatcher()
{
    delete m_notifier;
    const int readFd = std::exchange(pipeFds[0], -1);
    const int writeFd = std::exchange(pipeFds[1], -1);
    if (readFd >= 0) {
        close(writeFd);
        close(readFd);
    }
}

void SignalWatcher::handle(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    if (pipeFds[1] >= 0 && write(pipeFds[1], &byte, 1) != 1) {
        // A full pipe already holds a wake-up; nothing is lost.
    }
    errno = savedErrno;
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (read(pipeFds[0], &byte, 1) == 1)
        emit received(int(byte));
}
