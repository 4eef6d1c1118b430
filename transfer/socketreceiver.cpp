#include "transfer/socketreceiver.h"

#include <QTcpSocket>

SocketReceiver::SocketReceiver(QTcpSocket *socket, FileReceiver::DirectoryProvider directory,
                               FileReceiver::OnCode onCode, Reading reading, QObject *parent)
    : QObject(parent), m_socket(socket), m_stream(std::move(directory), std::move(onCode))
{
    m_stallTimer.setSingleShot(true);
    connect(&m_stallTimer, &QTimer::timeout, this, [this] {
        m_stream.poll();
        armStallTimer();
    });
    if (reading == Reading::AsBytesArrive)
        connect(socket, &QTcpSocket::readyRead, this, &SocketReceiver::readRest);
}

void SocketReceiver::feed(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_stream.feed(bytes);
    armStallTimer();
    emit received();
}

void SocketReceiver::readRest()
{
    if (m_socket)
        feed(m_socket->readAll());
}

void SocketReceiver::endOfStream()
{
    readRest();
    m_stallTimer.stop();
    m_stream.endOfStream();
}

void SocketReceiver::armStallTimer()
{
    const qint64 wait = m_stream.msUntilTimeout();
    if (wait < 0)
        m_stallTimer.stop();
    else
        m_stallTimer.start(int(wait));
}
