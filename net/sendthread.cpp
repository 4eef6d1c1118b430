#include "net/sendthread.h"

#include "transfer/filesender.h"
#include "transfer/limits.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "transfer/stopthread.h"

#include <QMutexLocker>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <utility>

namespace {

// Error texts nobody takes are dropped beyond this many.
constexpr int MaxErrorTexts = 64;

} // namespace

sendThread::sendThread(ReceiveDisk disk) : QThread(nullptr)
{
    qRegisterMetaType<QAbstractSocket::SocketState>("QAbstractSocket::SocketState");
    qRegisterMetaType<QAbstractSocket::SocketError>("QAbstractSocket::SocketError");
    qRegisterMetaType<QTcpSocket *>("QTcpSocket*");
    registerTransferEvents();
    recThread = new receiveThread(std::move(disk));
    connect(recThread, &receiveThread::receiveEvent, this, &sendThread::forwardReceiveEvent,
            Qt::DirectConnection);
    // Passed on as it is emitted, in the receive thread: a hop through this
    // worker's queue would only delay the codes behind a running send.
    connect(recThread, &receiveThread::sendRecState, this, &sendThread::sendRecState,
            Qt::DirectConnection);
    connect(recThread, &receiveThread::queueHasRoom, this, &sendThread::resumeReading);
    recThread->start();
    createClientSocket();
}

sendThread::~sendThread()
{
    // The owner quits and waits first; if it did not, a send must not keep
    // the destructor waiting for the rest of the file.
    if (isRunning())
        stopThread(this);
    // A thread that never ran leaves its sockets here. Closing one emits
    // stateChanged, which must no longer reach this half-destroyed worker
    // or the engine deleted below.
    deleteRetiredSockets();
    if (QTcpSocket *socket = clientSocket.exchange(nullptr)) {
        socket->disconnect(this);
        delete socket;
    }
    ThreadDeleter()(recThread);
}

QAbstractSocket::SocketState sendThread::clientState() const
{
    return QAbstractSocket::SocketState(m_clientState.load());
}

QString sendThread::takeClientErrorText()
{
    QMutexLocker locker(&m_errorMutex);
    return m_errorTexts.isEmpty() ? QString() : m_errorTexts.takeFirst();
}

void sendThread::stop()
{
    m_shuttingDown = true;
    stopRequested = true;
}

void sendThread::run()
{
    exec();
    // The sockets belong to this thread: close them here rather than from
    // the thread that deletes the worker.
    deleteRetiredSockets();
    if (QTcpSocket *socket = clientSocket.exchange(nullptr)) {
        socket->disconnect(this);
        delete socket;
    }
    m_clientState = QAbstractSocket::UnconnectedState;
}

void sendThread::createClientSocket()
{
    m_clientState = QAbstractSocket::UnconnectedState;
    if (QTcpSocket *old = clientSocket.exchange(nullptr))
        discardClientSocket(old);
    auto *socket = new QTcpSocket(this);
    // Larger than a chunk: each read is cut into chunks of bufferSize bytes.
    socket->setReadBufferSize(Limits::SocketReadBytes);
    socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    connect(socket, SIGNAL(readyRead()), this, SLOT(onSocketReadyRead()));
    connect(socket, SIGNAL(error(QAbstractSocket::SocketError)), this,
            SLOT(onErrorOccurs(QAbstractSocket::SocketError)));
    // The mirror first, so that it is current when the window hears of it.
    connect(socket, SIGNAL(stateChanged(QAbstractSocket::SocketState)), this,
            SLOT(onClientStateChanged(QAbstractSocket::SocketState)));
    connect(socket, SIGNAL(stateChanged(QAbstractSocket::SocketState)), this,
            SIGNAL(onSocketStateChange(QAbstractSocket::SocketState)));
    releaseReading();
    clientSocket = socket;
}

// The window still hears the socket's last state changes, but this worker's
// slots no longer run for it: nothing is read from a socket being destroyed.
void sendThread::discardClientSocket(QTcpSocket *socket)
{
    disconnect(socket, SIGNAL(readyRead()), this, SLOT(onSocketReadyRead()));
    disconnect(socket, SIGNAL(error(QAbstractSocket::SocketError)), this,
               SLOT(onErrorOccurs(QAbstractSocket::SocketError)));
    disconnect(socket, SIGNAL(stateChanged(QAbstractSocket::SocketState)), this,
               SLOT(onClientStateChanged(QAbstractSocket::SocketState)));
    if (m_streamOpen) {
        m_streamOpen = false;
        recThread->endOfStream();
    }
    if (socket == m_sendingDevice) {
        // A send is writing to it further up the stack: close it now so the
        // send ends, and delete it once the send has returned.
        socket->abort();
        m_retiredSockets.append(socket);
        return;
    }
    delete socket;
}

void sendThread::deleteRetiredSockets()
{
    qDeleteAll(std::exchange(m_retiredSockets, {}));
}

void sendThread::handleCmd(int cmd_type)
{
    switch (cmd_type) {
    case CmdConnect:
        connectToController();
        break;
    case CmdDisconnect:
        disconnectFromController();
        break;
    case CmdStopReception:
        stopReception();
        break;
    case CmdTest:
    case CmdSendFile:
        if (m_shuttingDown)
            break;
        // The write goes to the connection as it is when the command comes:
        // a socket replaced by then is never written to.
        currentDevice = clientSocket.load();
        m_pendingWrites.append(
            {cmd_type, currentDevice.load(), cmd_type == CmdSendFile ? filePath.get() : QString()});
        // A write that arrives while a send runs (its events run nested)
        // waits for it: bytes of its own in the middle of the file would
        // corrupt the file on the controller.
        if (!m_writing)
            carryOutWrites();
        break;
    default:
        break;
    }
}

void sendThread::connectToController()
{
    QTcpSocket *socket = clientSocket.load();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        return;
    socket->connectToHost(controllerAddress.get(), Protocol::ControllerPort, QIODevice::ReadWrite,
                          QAbstractSocket::AnyIPProtocol);
}

void sendThread::disconnectFromController()
{
    QTcpSocket *socket = clientSocket.load();
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->disconnectFromHost();
    else
        createClientSocket();
}

// The end of the stream goes first, marked as the user's: the engine then
// removes the file it cut. Nothing more is read once the socket is closed.
void sendThread::stopReception()
{
    if (m_streamOpen) {
        m_streamOpen = false;
        releaseReading();
        recThread->endOfStream(receiveThread::StreamEnd::Stopped);
    }
    clientSocket.load()->abort();
}

void sendThread::carryOutWrites()
{
    m_writing = true;
    while (!m_pendingWrites.isEmpty() && !m_shuttingDown) {
        const PendingWrite write = m_pendingWrites.takeFirst();
        QTcpSocket *device = liveDevice(write.device);
        if (write.command == CmdSendFile)
            sendFile(device, write.path);
        else if (device && device->state() == QAbstractSocket::ConnectedState)
            device->write(Protocol::greeting());
    }
    m_pendingWrites.clear();
    m_writing = false;
    deleteRetiredSockets();
}

void sendThread::sendFile(QTcpSocket *device, const QString &path)
{
    FileSender::Options options;
    options.liveBufferSize = &bufferSize;
    options.pace = sendPace.get();
    // The window clears the stop before it hands the file over; cleared
    // here, a stop clicked before this send began would be lost.
    options.cancel = &stopRequested;
    FileSender sender([this](const SendEvent &event) { publishSendEvent(event); }, options);
    m_sendingDevice = device;
    sender.send(device, path);
    m_sendingDevice = nullptr;
}

// The sender's counters, mirrored into the fields the window may read; a
// file that could not be opened leaves the last send's byte counts.
void sendThread::publishSendEvent(const SendEvent &event)
{
    fileSize = event.fileSize;
    if (event.code != TransOpenFailed) {
        bytesRead = event.bytesRead;
        bytesWritten = event.bytesWritten;
    }
    emit sendEvent(event);
    emit sendTransState(event.code);
}

// A device that is no longer the client socket may have been deleted; it is
// treated as a lost connection and never touched.
QTcpSocket *sendThread::liveDevice(QTcpSocket *device) const
{
    return device && device == clientSocket.load() ? device : nullptr;
}

void sendThread::onErrorOccurs(QAbstractSocket::SocketError)
{
    QTcpSocket *socket = clientSocket.load();
    {
        QMutexLocker locker(&m_errorMutex);
        if (m_errorTexts.size() >= MaxErrorTexts)
            m_errorTexts.removeFirst();
        m_errorTexts.append(socket->errorString());
    }
    emit onClientErrorOccurs(socket);
}

void sendThread::onClientStateChanged(QAbstractSocket::SocketState state)
{
    m_clientState = state;
    if (state == QAbstractSocket::ConnectedState) {
        m_streamOpen = true;
    } else if (state == QAbstractSocket::UnconnectedState && m_streamOpen) {
        // What the socket still holds belongs before the end of the stream.
        m_streamOpen = false;
        QTcpSocket *socket = clientSocket.load();
        while (socket->bytesAvailable() > 0)
            queueIncoming(socket);
        releaseReading();
        recThread->endOfStream();
    }
}

// Runs in the receive thread.
void sendThread::forwardReceiveEvent(const ReceiveEvent &event)
{
    if (m_receiveEventLimit > 0)
        ++m_unhandledReceiveEvents;
    emit receiveEvent(event);
}

void sendThread::receiveEventHandled()
{
    const int limit = m_receiveEventLimit;
    if (limit <= 0)
        return;
    // Halfway down, the worker looks whether it held the socket back.
    if (--m_unhandledReceiveEvents == limit / 2)
        QMetaObject::invokeMethod(
            this, [this] { resumeReading(); }, Qt::QueuedConnection);
}

bool sendThread::receiveEventsBacklogged() const
{
    const int limit = m_receiveEventLimit;
    return limit > 0 && m_unhandledReceiveEvents >= limit;
}

void sendThread::onSocketReadyRead()
{
    // While the engine or the reader of its reports is behind, the bytes
    // stay in the socket, whose bounded buffer holds the controller back
    // through TCP.
    QTcpSocket *socket = clientSocket.load();
    do {
        if (receiveEventsBacklogged() || !recThread->hasRoom()) {
            if (!m_readingHeld)
                recThread->holdReading(true);
            m_readingHeld = true;
            return;
        }
        queueIncoming(socket);
    } while (socket->bytesAvailable() > 0);
}

// Reading goes on where it was held; queueing new chunks lifts the engine's
// hold, so its stall clock never runs between the two.
void sendThread::resumeReading()
{
    if (!m_readingHeld)
        return;
    m_readingHeld = false;
    QTcpSocket *socket = clientSocket.load();
    if (socket && socket->bytesAvailable() > 0)
        onSocketReadyRead();
    else
        recThread->holdReading(false);
}

void sendThread::releaseReading()
{
    if (!m_readingHeld)
        return;
    m_readingHeld = false;
    recThread->holdReading(false);
}

// Cuts everything the socket holds into chunks of at most bufferSize bytes
// and queues them together, in order.
// One read of at most ReadBytes, and no more chunks than a read of the
// default size makes however small bufferSize is, read straight into chunks
// of bufferSize bytes and queued together. Nothing there: one empty chunk.
void sendThread::queueIncoming(QTcpSocket *socket)
{
    const int maxChunks = int(Limits::SocketReadBytes / Defaults::BufferSize) + 1;
    QList<QByteArray> chunks;
    qint64 taken = 0;
    do {
        chunks.append(socket->read(chunkSize()));
        taken += chunks.last().size();
    } while (taken < Limits::SocketReadBytes && chunks.size() < maxChunks &&
             socket->bytesAvailable() > 0);
    recThread->appendChunks(chunks);
    recvLink = LinkClient;
}

int sendThread::chunkSize() const
{
    return qBound(Limits::MinBufferSize, bufferSize.load(), Limits::MaxBufferSize);
}
