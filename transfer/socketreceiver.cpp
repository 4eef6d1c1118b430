#include "transfer/socketreceiver.h"

#include "transfer/limits.h"

#include <QTcpSocket>

SocketReceiver::SocketReceiver(QTcpSocket *socket, FileReceiver::DirectoryProvider directory,
                               StreamReceiver::OnEvent onEvent, Reading reading, QObject *parent)
    : QObject(parent), m_socket(socket), m_stream(std::move(directory), std::move(onEvent))
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

// Into one buffer that stays: a fresh array for every read of up to
// 256 KiB is a fresh mapping, and its page faults cost a fifth of the time.
void SocketReceiver::readRest()
{
    while (m_socket && m_socket->bytesAvailable() > 0) {
        const qint64 want = qMin<qint64>(m_socket->bytesAvailable(), Limits::SocketReadBytes);
        m_readBuffer.resize(int(want));
        const qint64 got = m_socket->read(m_readBuffer.data(), want);
        if (got <= 0)
            return;
        m_readBuffer.resize(int(got));
        feed(m_readBuffer);
    }
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
