#include "session.h"

#include "exitcodes.h"
#include "interrupt.h"
#include "sharedhistory.h"

#include "client/reconnectschedule.h"
#include "history/transferhistory.h"
#include "history/transferoutcome.h"
#include "transfer/filesender.h"
#include "transfer/limits.h"
#include "transfer/protocol.h"
#include "transfer/socketreceiver.h"
#include "transfer/transfercodes.h"
#include "transfer/unackedbytes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkProxy>

namespace {

constexpr int ConnectTimeoutMs = 10000;
constexpr int CloseTimeoutMs = 5000;
constexpr qint64 ReadBufferSize = Limits::SocketReadBytes;
// How often a wait looks at Ctrl+C.
constexpr int WakeUpMs = 50;

// What each outcome means for the exit code.
int exitCodeOf(const QString &outcome)
{
    static const QHash<QString, int> codes{
        {QLatin1String(TransferOutcome::Done), ExitOk},
        {QLatin1String(TransferOutcome::SkippedIdentical), ExitOk},
        {QLatin1String(TransferOutcome::Interrupted), ExitInterrupted},
        {QLatin1String(TransferOutcome::ConnectionLost), ExitConnectionLost},
        {QLatin1String(TransferOutcome::DigestMismatch), ExitDigestMismatch},
        {QLatin1String(TransferOutcome::SizeMismatch), ExitDigestMismatch},
    };
    return codes.value(outcome, ExitTransferFailed);
}

} // namespace

Session::Session(Output &output) : m_output(output) {}

void Session::keepHistory(const QString &filePath)
{
    m_history = std::make_shared<SharedHistory>(filePath);
}

void Session::shareHistory(std::shared_ptr<SharedHistory> history)
{
    m_history = std::move(history);
}

// Here, where SocketReceiver and SharedHistory are complete.
Session::~Session() = default;

void Session::Tally::add(int code)
{
    ++files;
    if (code == ExitOk)
        return;
    ++failed;
    if (exitCode == ExitOk)
        exitCode = code;
}

int Session::open(const QString &host, quint16 port)
{
    m_socket.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // A controller that sends at once and closes may be gone before we
    // look: it was still a connection, and what it sent waits in the socket.
    bool connected = false;
    const QMetaObject::Connection watch =
        QObject::connect(&m_socket, &QTcpSocket::connected, [&connected] { connected = true; });
    m_host = host;
    m_port = port;
    m_socket.connectToHost(host, port);
    const bool settled = waitUntil(
        [this] {
            return m_socket.state() != QAbstractSocket::HostLookupState &&
                   m_socket.state() != QAbstractSocket::ConnectingState;
        },
        ConnectTimeoutMs);
    QObject::disconnect(watch);
    if (Interrupt::requested())
        return ExitInterrupted;
    if (connected)
        return ExitOk;
    const QString reason = settled ? m_socket.errorString() : QStringLiteral("timed out");
    m_output.error(QStringLiteral("cannot connect to %1:%2: %3").arg(host).arg(port).arg(reason));
    return ExitNoConnection;
}

void Session::close()
{
    m_socket.disconnectFromHost();
    waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
              CloseTimeoutMs);
}

// Files go one after another; after a failure the connection's framing can
// no longer be trusted, so the rest stay unsent and count as failed.
int Session::send(const QStringList &paths, const SendOptions &options)
{
    m_sendOptions = options;
    // Nothing the controller says is for the sender.
    QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { m_socket.readAll(); });
    for (const QString &path : paths) {
        // A slow controller may need the pause to finish with a file.
        if (m_tally.files > 0 && options.gapMs > 0)
            waitUntil([] { return false; }, options.gapMs);
        if (Interrupt::requested())
            break;
        m_tally.add(sendFile(path));
        if (m_tally.failed > 0)
            break;
    }
    m_tally.failed += paths.size() - m_tally.files;
    m_tally.files = paths.size();
    return finish(m_tally.exitCode);
}

int Session::sendFile(const QString &path)
{
    const QFileInfo file(path);
    const quint64 size = quint64(file.size());
    m_output.fileStarted(TransferRecord::Direction::Send, Protocol::fileNameOf(path),
                         file.absoluteFilePath(), size);

    FileSender::Options options;
    options.bufferSize = m_sendOptions.bufferSize;
    options.pace = m_sendOptions.pace;
    options.cancel = &Interrupt::flag();
    SendEvent last;
    FileSender sender(
        [this, size, &last](const SendEvent &sent) {
            last = sent;
            if (sent.code == TransProgress)
                m_output.progress(sent.bytesRead, size);
        },
        options);
    QElapsedTimer clock;
    clock.start();
    sender.send(&m_socket, path);
    TransferRecord record = TransferRecord::ofSend(last, path, m_host, m_port);
    // The user waited for the hashing too.
    record.ms = clock.elapsed();
    return ended(record);
}

int Session::receive(const ReceiveOptions &options)
{
    m_wantedFiles = options.count;
    m_idleMs = options.idleMs;
    m_watcher = options.watcher;
    // Bounded like the worker's: the file is written in pieces as they come
    // instead of in one block that grows while the disk is busy.
    m_socket.setReadBufferSize(ReadBufferSize);
    m_receiver = std::make_unique<SocketReceiver>(
        &m_socket, [&options] { return options.dir; },
        [this](const ReceiveEvent &event) { received(event); });
    m_receiver->setExistingFiles(options.existing);
    m_idleTimer.setSingleShot(true);
    QObject::connect(m_receiver.get(), &SocketReceiver::received, [this] { restartIdleTimer(); });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, [this] { peerClosed(); });
    restartIdleTimer();
    if (options.reconnect)
        keepConnecting();
    // Whatever came, or ended, before the handlers were in place.
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        tellLink(QStringLiteral("connected to %1:%2").arg(m_host).arg(m_port));
        m_receiver->readRest();
    } else if (!m_schedule) {
        peerClosed();
    }
    waitUntil([this] { return runEnded(); });
    if (m_watcher)
        m_watcher->stopping();
    QObject::disconnect(&m_socket, nullptr, nullptr, nullptr);
    abandonReception();
    const int exitCode = receiveExitCode();
    // Files that never came count as failed; not after a stop asked for.
    if (m_wantedFiles > m_tally.files && exitCode != ExitOk) {
        m_tally.failed += m_wantedFiles - m_tally.files;
        m_tally.files = m_wantedFiles;
    }
    return finish(exitCode);
}

bool Session::runEnded() const
{
    const bool idle = m_idleMs > 0 && !m_idleTimer.isActive();
    const bool lost = m_peerClosed && !m_schedule;
    return idle || lost || (m_wantedFiles > 0 && m_tally.files >= m_wantedFiles);
}

// The connection made by open(), or none, is the first of a run that
// connects again whenever it has none.
void Session::keepConnecting()
{
    m_schedule = std::make_unique<ReconnectSchedule>();
    m_schedule->setEnabled(true);
    QObject::connect(m_schedule.get(), &ReconnectSchedule::attemptDue, [this] { connectAgain(); });
    QObject::connect(&m_socket, &QTcpSocket::connected, [this] { linkUp(); });
    QObject::connect(&m_socket, &QAbstractSocket::stateChanged,
                     [this](QAbstractSocket::SocketState state) {
                         if (state == QAbstractSocket::UnconnectedState && m_connecting)
                             connectFailed();
                     });
    m_connectTimer.setSingleShot(true);
    QObject::connect(&m_connectTimer, &QTimer::timeout, [this] {
        m_socket.abort();
        if (m_connecting)
            connectFailed();
    });
    m_schedule->connectStarted();
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        m_schedule->connected();
        m_output.connected(m_host, m_port);
    } else {
        // open() said why.
        connectFailed();
    }
}

void Session::connectAgain()
{
    m_socket.abort();
    m_connecting = true;
    m_schedule->connectStarted();
    m_connectTimer.start(ConnectTimeoutMs);
    m_socket.connectToHost(m_host, m_port);
}

// Told once until a connection is made again, not for every attempt.
void Session::connectFailed()
{
    m_connecting = false;
    m_connectTimer.stop();
    m_schedule->linkLost();
    if (std::exchange(m_retryingTold, true))
        return;
    m_output.reconnecting(m_host, m_port);
    tellLink(QStringLiteral("no connection to %1:%2, trying again").arg(m_host).arg(m_port));
}

void Session::linkUp()
{
    m_connecting = false;
    m_connectTimer.stop();
    m_peerClosed = false;
    m_retryingTold = false;
    m_schedule->connected();
    m_output.connected(m_host, m_port);
    tellLink(QStringLiteral("connected to %1:%2").arg(m_host).arg(m_port));
}

void Session::peerClosed()
{
    m_receiver->readRest();
    m_peerClosed = true;
    m_receiver->endOfStream();
    m_output.connectionLost();
    tellLink(QStringLiteral("the controller closed the connection"));
    if (m_schedule)
        connectFailed();
}

void Session::tellLink(const QString &state)
{
    m_linkState = state;
    tellStatus();
}

void Session::tellStatus()
{
    if (!m_watcher)
        return;
    const QString last =
        m_lastFile.isEmpty() ? QString() : QStringLiteral("; last file: ") + m_lastFile;
    m_watcher->status(m_linkState + last);
}

// The controller believes it sent a file still arriving when the wait ends:
// it fails like a stalled one, its partial file kept; a run stopped while
// it reconnects keeps nothing half-written.
void Session::abandonReception()
{
    if (!m_receiver->receiving())
        return;
    m_waitEnded = true;
    const QString partPath = m_receiver->receiver().partPath();
    m_receiver->endOfStream();
    if (m_schedule && Interrupt::requested())
        QFile::remove(partPath);
}

void Session::restartIdleTimer()
{
    if (m_idleMs > 0)
        m_idleTimer.start(int(qMin<qint64>(m_idleMs, INT_MAX)));
}

// Fewer files than asked for is a failure, whether the controller went
// quiet (a timeout) or away.
int Session::receiveExitCode() const
{
    if (Interrupt::requested())
        return stopEndsWell() ? ExitOk : ExitInterrupted;
    if (m_tally.exitCode != ExitOk || m_tally.files >= m_wantedFiles)
        return m_tally.exitCode;
    return m_peerClosed ? ExitConnectionLost : ExitTransferFailed;
}

void Session::received(const ReceiveEvent &event)
{
    switch (event.code) {
    case RecStarted:
        m_output.fileStarted(TransferRecord::Direction::Receive, event.fileName, event.filePath,
                             event.fileSize);
        break;
    case RecProgress:
        m_output.progress(event.fileBytes, event.fileSize);
        break;
    case RecRawData:
        // The event holds a short text of it; the user is shown it whole.
        m_output.rawData(m_receiver->receiver().lastRawData());
        break;
    default: {
        const TransferRecord record =
            TransferRecord::ofReception(event, cutOfReception(), m_host, m_port);
        m_tally.add(ended(record));
        m_lastFile =
            QStringLiteral("%1 (%2)").arg(Protocol::printable(record.fileName), record.outcome);
        tellStatus();
        break;
    }
    }
}

// Why an open reception ended without its end marker.
TransferOutcome::Cut Session::cutOfReception() const
{
    if (m_peerClosed)
        return TransferOutcome::Cut::PeerClosed;
    if (!m_waitEnded)
        return TransferOutcome::Cut::Stall;
    return Interrupt::requested() ? TransferOutcome::Cut::Interrupted
                                  : TransferOutcome::Cut::WaitEnded;
}

// Reports a file that ended and keeps its line of history; returns what
// it means for the exit code. A history that cannot be written is told
// once, and the transfers go on.
int Session::ended(const TransferRecord &record)
{
    const int exitCode = exitCodeOf(record.outcome);
    m_output.fileEnded(record, exitCode);
    if (!m_history)
        return exitCode;
    const QString error = m_history->append(record);
    if (!error.isEmpty())
        m_output.error(QStringLiteral("cannot write the history %1: %2")
                           .arg(QDir::toNativeSeparators(m_history->filePath()), error));
    return exitCode;
}

// Sent means the controller's side acknowledged the greeting, as for a
// file: a write that left the socket may still meet a reset, and a
// controller that closes right after reading it has it all the same.
int Session::greet()
{
    UnackedBytes unacked(&m_socket);
    // A controller that reset the connection at once may have done so
    // before this point, while it still counted as made.
    const UnackedBytes::Rules rules{
        [this] { return m_socket.state() != QAbstractSocket::ConnectedState; },
        [] { return Interrupt::requested(); }};
    const UnackedBytes::Outcome outcome =
        unacked.write(Protocol::greeting()) ? unacked.waitForAll(rules) : UnackedBytes::Lost;
    switch (outcome) {
    case UnackedBytes::Acknowledged:
        m_output.greetingSent(m_socket.peerAddress().toString());
        return finish(ExitOk);
    case UnackedBytes::Stopped:
        return finish(ExitInterrupted);
    case UnackedBytes::Stalled:
        m_output.error(QStringLiteral("the controller did not acknowledge the greeting"));
        break;
    case UnackedBytes::Lost:
        m_output.error(QStringLiteral("the greeting was not sent: ") + m_socket.errorString());
        break;
    }
    return finish(ExitConnectionLost);
}

// Nothing went either way: every file there was to move counts as failed.
int Session::notConnected(int exitCode, int plannedFiles)
{
    m_tally.files = plannedFiles;
    m_tally.failed = plannedFiles;
    return finish(exitCode);
}

// A run that reconnects until stopped is meant to end by a stop.
bool Session::stopEndsWell() const
{
    return m_schedule != nullptr;
}

int Session::finish(int exitCode)
{
    if (Interrupt::requested() && !stopEndsWell())
        exitCode = ExitInterrupted;
    m_output.finished(exitCode, m_tally.files, m_tally.failed);
    return exitCode;
}

bool Session::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer wakeUp;
    wakeUp.start(WakeUpMs);
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (Interrupt::requested() || deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
