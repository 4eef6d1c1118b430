#include "controllersim.h"

#include "transfer/filesender.h"
#include "transfer/protocol.h"
#include "transfer/socketreceiver.h"
#include "transfer/transfercodes.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <cstdio>

namespace {

constexpr int ReadTickMs = 10;
constexpr int ReadTicksPerSecond = 1000 / ReadTickMs;
constexpr qint64 MinReadBufferSize = 1024;
// A flood shows only its beginning, so one event never prints gigabytes.
constexpr int MaxRawCharsShown = 256;
static_assert(MaxRawCharsShown < ReceiveEvent::MaxRawChars,
              "raw data is cut from the event's text");

// Tests read these lines while the process runs: never leave one buffered.
void printLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// The name it lies under, its own or a free one beside it.
QString nameOf(const ReceiveEvent &event)
{
    return Protocol::printable(QFileInfo(event.filePath).fileName());
}

// A verified file that could not take its name stays somewhere else.
QString keptNote(const ReceiveEvent &event)
{
    if (event.savedAs.isEmpty())
        return QString();
    return QStringLiteral(", kept as %1")
        .arg(Protocol::printable(QFileInfo(event.savedAs).fileName()));
}

// A file stored with a digest matched it.
QString doneNote(const ReceiveEvent &event)
{
    if (!event.md5Hex.isEmpty())
        return QStringLiteral("MD5 ok");
    if (event.sizeMismatch)
        return QStringLiteral("no MD5, size mismatch (%1 announced)").arg(event.fileSize);
    return QStringLiteral("no MD5");
}

QString endpoint(const QHostAddress &address, quint16 port)
{
    return address.toString() + QLatin1Char(':') + QString::number(port);
}

QString progressOf(const ReceiveEvent &event)
{
    return QStringLiteral("%1 (%2 of %3 bytes)")
        .arg(nameOf(event), QString::number(event.fileBytes), QString::number(event.fileSize));
}

} // namespace

ControllerSim::ControllerSim(const Settings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
    m_readTimer.setInterval(ReadTickMs);
    connect(&m_readTimer, &QTimer::timeout, this, &ControllerSim::readMetered);
    connect(&m_server, &QTcpServer::newConnection, this, &ControllerSim::acceptConnections);
}

// The server deletes the client socket after the members it reports to are
// gone, and a socket still connected reports its disconnection on the way.
ControllerSim::~ControllerSim()
{
    if (m_client)
        disconnect(m_client, nullptr, this, nullptr);
}

bool ControllerSim::listen(QString *error)
{
    if (!m_server.listen(m_settings.address, m_settings.port)) {
        *error = QStringLiteral("cannot listen on %1: %2")
                     .arg(endpoint(m_settings.address, m_settings.port), m_server.errorString());
        return false;
    }
    printLine(
        QStringLiteral("listening on %1, files in %2")
            .arg(endpoint(m_server.serverAddress(), m_server.serverPort()), m_settings.directory));
    return true;
}

void ControllerSim::stop()
{
    m_stopping = true;
    m_cancelSends = true;
    m_sendQueue.clear();
    printLine(QStringLiteral("stopped"));
}

// The controller serves a single PC: a second client is closed at once.
void ControllerSim::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (m_client) {
            printLine(QStringLiteral("refused %1 (a client is already connected)")
                          .arg(endpoint(socket->peerAddress(), socket->peerPort())));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        adopt(socket);
    }
}

void ControllerSim::adopt(QTcpSocket *socket)
{
    m_client = socket;
    m_receiver = std::make_unique<SocketReceiver>(
        socket, [this] { return m_settings.directory; },
        [this](const ReceiveEvent &event) { reportReceive(event); },
        m_settings.readRate > 0 ? SocketReceiver::Reading::ByCaller
                                : SocketReceiver::Reading::AsBytesArrive);
    printLine(
        QStringLiteral("connected %1").arg(endpoint(socket->peerAddress(), socket->peerPort())));
    connect(socket, &QTcpSocket::disconnected, this, &ControllerSim::dropClient);
    if (m_settings.readRate > 0) {
        // A small buffer makes TCP hold the sender back instead of memory.
        socket->setReadBufferSize(
            qMax(MinReadBufferSize, m_settings.readRate / ReadTicksPerSecond));
        m_readCredit = 0;
        m_readTimer.start();
    }
    for (const QString &path : m_settings.rawFiles)
        sendRaw(path);
    for (const QString &path : m_settings.sendFiles)
        queueSend(path);
}

void ControllerSim::dropClient()
{
    QTcpSocket *socket = m_client;
    if (!socket)
        return;
    // Whatever the metered reader had not taken yet still counts.
    m_receiver->readRest();
    m_readTimer.stop();
    reportIncomplete();
    m_receiver.reset();
    m_sendQueue.clear();
    m_client = nullptr;
    socket->deleteLater();
    printLine(QStringLiteral("disconnected"));
}

void ControllerSim::readMetered()
{
    m_readCredit += m_settings.readRate;
    const qint64 quota = m_readCredit / ReadTicksPerSecond;
    m_readCredit %= ReadTicksPerSecond;
    // Never ask for more than is there: read() reserves what it is asked for.
    if (m_client && quota > 0)
        m_receiver->feed(m_client->read(qMin(quota, m_client->bytesAvailable())));
}

void ControllerSim::reportReceive(const ReceiveEvent &event)
{
    const QString received = QStringLiteral("file received: %1 (%2 bytes) ")
                                 .arg(nameOf(event), QString::number(event.fileBytes));
    switch (event.code) {
    case RecStarted:
        printLine(QStringLiteral("receiving %1 (%2 bytes)")
                      .arg(nameOf(event), QString::number(event.fileSize)));
        break;
    case RecDone:
        printLine(received + doneNote(event) + keptNote(event));
        if (m_settings.echo)
            queueSend(event.filePath);
        break;
    case RecMd5Mismatch:
        printLine(received + QLatin1String("MD5 mismatch"));
        break;
    case RecTimeout:
        printLine(QStringLiteral("file timed out: ") + progressOf(event));
        break;
    case RecWriteFailed:
        printLine(QStringLiteral("file write failed: ") + progressOf(event) + keptNote(event));
        break;
    case RecCreateFailed:
        if (event.programFile)
            printLine(QStringLiteral("file create failed: %1 is one of the program's own files")
                          .arg(Protocol::printable(event.fileName)));
        else
            printLine(QStringLiteral("file create failed"));
        break;
    case RecRawData:
        // The event's text runs further than this line shows: cut again, it
        // reads as the chunk's own cut.
        printLine(QStringLiteral("raw data received (%1 bytes): %2")
                      .arg(QString::number(event.rawSize),
                           Protocol::printable(event.rawText, MaxRawCharsShown)));
        break;
    default:
        break;
    }
}

// A client that leaves mid-file leaves its partial file behind.
void ControllerSim::reportIncomplete()
{
    if (m_receiver && m_receiver->receiving())
        printLine(QStringLiteral("file incomplete: ") +
                  progressOf(ReceiveEvent::of(RecProgress, m_receiver->receiver())));
}

// In one write, as a controller that frames its own files might.
void ControllerSim::sendRaw(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    m_client->write(bytes);
    printLine(QStringLiteral("sent raw %1 (%2 bytes)")
                  .arg(Protocol::printable(path), QString::number(bytes.size())));
}

// The sender runs the event loop nested, so a file can arrive (and ask for
// its echo) while another is sent: sends only ever start from the top level.
void ControllerSim::queueSend(const QString &path)
{
    m_sendQueue.enqueue(path);
    QTimer::singleShot(0, this, &ControllerSim::sendNext);
}

void ControllerSim::sendNext()
{
    if (m_sending || m_stopping || !m_client || m_sendQueue.isEmpty())
        return;
    const QString path = m_sendQueue.dequeue();
    const QString name = Protocol::printable(Protocol::fileNameOf(path));
    printLine(
        QStringLiteral("sending %1 (%2 bytes)").arg(name, QString::number(QFileInfo(path).size())));
    m_sending = true;
    const int code = sendFile(path);
    m_sending = false;

    if (code == TransDone)
        printLine(QStringLiteral("sent %1").arg(name));
    else
        printLine(QStringLiteral("send failed: %1 (code %2)").arg(name, QString::number(code)));
    if (!m_sendQueue.isEmpty())
        QTimer::singleShot(0, this, &ControllerSim::sendNext);
}

// Only the end code matters here, and send() returns it.
int ControllerSim::sendFile(const QString &path)
{
    FileSender::Options options;
    options.pace = m_settings.pace;
    options.withMd5 = m_settings.withMd5;
    options.cancel = &m_cancelSends;
    FileSender fileSender({}, options);
    return fileSender.send(m_client, path);
}
