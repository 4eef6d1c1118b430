#pragma once

#include "transfer/streamreceiver.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpSocket;

// Receives files from a socket in the socket's own thread: feeds what it
// reads into a StreamReceiver and keeps the stall rule with a timer. The
// command line and the stand-in receive through it; the window's worker
// hands its bytes to the receive engine's thread instead.
class SocketReceiver : public QObject
{
    Q_OBJECT

public:
    enum class Reading {
        AsBytesArrive, // every readyRead is read at once
        ByCaller,      // the owner meters what is read, with feed()
    };

    SocketReceiver(QTcpSocket *socket, FileReceiver::DirectoryProvider directory,
                   StreamReceiver::OnEvent onEvent, Reading reading = Reading::AsBytesArrive,
                   QObject *parent = nullptr);

    // Bytes the owner read from the socket itself.
    void feed(const QByteArray &bytes);
    // Reads whatever the socket still holds.
    void readRest();
    // The stream is over: reads the rest, and an open transfer ends now.
    void endOfStream();

    void setExistingFiles(ExistingFiles rule) { m_stream.setExistingFiles(rule); }
    bool receiving() const { return m_stream.receiving(); }
    const FileReceiver &receiver() const { return m_stream.receiver(); }

signals:
    // Bytes were read and handled.
    void received();

private:
    void armStallTimer();

    QPointer<QTcpSocket> m_socket;
    QByteArray m_readBuffer;
    StreamReceiver m_stream;
    QTimer m_stallTimer;
};
