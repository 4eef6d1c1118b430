#pragma once

// The controller stand-in (KVR_CONTROLLER_SIM) run as a separate process,
// with its output read line by line, for the tests that use it as the peer.

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <csignal>
#include <memory>

#ifdef Q_OS_WIN
#include <qt_windows.h>

// A console of its own, hidden, for interruptStandIn() to borrow.
inline void giveOwnConsole(QProcess &process)
{
    process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= CREATE_NO_WINDOW; });
}

// Ctrl+C, as a user stops it. That reaches every process on a console, so
// this one borrows the stand-in's own, and from then on swallows Ctrl+C with
// a handler (the stand-ins started later do not inherit that, as they would
// ignoring it).
inline bool interruptStandIn(QProcess &process, int)
{
    static const bool swallowing =
        SetConsoleCtrlHandler([](DWORD event) -> BOOL { return event == CTRL_C_EVENT; }, TRUE);
    FreeConsole();
    const bool sent = swallowing && AttachConsole(DWORD(process.processId())) &&
                      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return sent;
}
#else
inline void giveOwnConsole(QProcess &) {}

inline bool interruptStandIn(QProcess &process, int signalNumber)
{
    return ::kill(pid_t(process.processId()), signalNumber) == 0;
}
#endif

class StandInProcess
{
public:
    // waitMs bounds starting, stopping and, unless told otherwise, each wait
    // for a line.
    explicit StandInProcess(int waitMs) : m_waitMs(waitMs) {}
    ~StandInProcess() { stop(); }
    StandInProcess(const StandInProcess &) = delete;
    StandInProcess &operator=(const StandInProcess &) = delete;

    // A new run in place of the last one; returns at once, for runs that
    // are meant to fail.
    QProcess &launch(const QStringList &arguments, const QString &workingDirectory)
    {
        m_process = std::make_unique<QProcess>();
        m_seen.clear();
        m_listening.clear();
        m_process->setWorkingDirectory(workingDirectory);
        giveOwnConsole(*m_process);
        // Text: Windows ends its lines with \r\n.
        m_process->start(QStringLiteral(KVR_CONTROLLER_SIM), arguments,
                         QIODevice::ReadWrite | QIODevice::Text);
        return *m_process;
    }

    // True once the stand-in runs and has printed its "listening on" line,
    // which listeningLine() then holds for the caller to check.
    bool start(const QStringList &arguments, const QString &workingDirectory)
    {
        launch(arguments, workingDirectory);
        if (m_process->waitForStarted(m_waitMs))
            m_listening = waitForLine(QStringLiteral("listening on "));
        return !m_listening.isNull();
    }

    // On 127.0.0.1:8080, where the worker connects, keeping what it
    // receives in storeDir.
    bool startOnLoopback(const QString &storeDir, const QStringList &arguments,
                         const QString &workingDirectory)
    {
        const QStringList where{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                QStringLiteral("--port"),   QStringLiteral("8080"),
                                QStringLiteral("--dir"),    storeDir};
        return start(where + arguments, workingDirectory);
    }

    QString listeningLine() const { return m_listening; }
    // The current run: only after launch() or start().
    QProcess &process() { return *m_process; }
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }

    QString waitForLine(const QString &text) { return waitForLine(text, m_waitMs); }

    // The first line of output containing text, skipping (and keeping for
    // failure messages) the lines before it; a null string on timeout or exit.
    QString waitForLine(const QString &text, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            QString line = takeLineContaining(text);
            if (!line.isNull())
                return line;
            if (deadline.hasExpired() ||
                !m_process->waitForReadyRead(int(deadline.remainingTime())))
                return takeLineContaining(text);
        }
    }

    QString seenOutput() const
    {
        QString output =
            QStringLiteral("stand-in output so far:\n") + m_seen.join(QLatin1Char('\n'));
        if (m_process)
            output += QStringLiteral("\nstderr:\n") +
                      QString::fromUtf8(m_process->readAllStandardError());
        return output;
    }

    // Asks the stand-in to stop as a user would: the signal, or Ctrl+C on
    // Windows.
    bool interrupt(int signalNumber = SIGTERM)
    {
        return interruptStandIn(*m_process, signalNumber);
    }

    // Ends a running stand-in, killing it if it takes too long, so that its
    // port is free for the next run. False if it had to be killed.
    bool stop()
    {
        if (!isRunning())
            return true;
        // Asked again each second: under load, Wine may lose a console's
        // Ctrl+C.
        const QDeadlineTimer deadline(m_waitMs);
        do {
            interrupt();
            if (m_process->waitForFinished(int(qMin<qint64>(1000, deadline.remainingTime()))))
                return true;
        } while (!deadline.hasExpired());
        m_process->kill();
        m_process->waitForFinished(m_waitMs);
        return false;
    }

private:
    QString takeLineContaining(const QString &text)
    {
        while (m_process->canReadLine()) {
            QString line = QString::fromUtf8(m_process->readLine()).chopped(1);
            m_seen.append(line);
            if (line.contains(text))
                return line;
        }
        return QString();
    }

    const int m_waitMs;
    std::unique_ptr<QProcess> m_process;
    QStringList m_seen;
    QString m_listening;
};
