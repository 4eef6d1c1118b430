#pragma once

#include "settings/sendpace.h"
#include "transfer/protocol.h"
#include "transfer/transferevents.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>

#include <atomic>
#include <memory>

class SocketReceiver;
class QTcpSocket;

// Plays the controller's side of the link: serves one PC connection at a
// time, stores the files it receives and sends files back. Every event is
// one line on stdout (formats in main.cpp).
class ControllerSim : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = Protocol::ControllerPort;
        QString directory;     // absolute, must exist
        QStringList sendFiles; // sent to every client on connect
        QStringList rawFiles;  // written unframed to every client, before those
        bool echo = false;     // send every received file back
        bool withMd5 = true;
        SendPace pace;
        qint64 readRate = 0; // bytes per second; 0 reads as data arrives
    };

    explicit ControllerSim(const Settings &settings, QObject *parent = nullptr);
    ~ControllerSim() override;

    bool listen(QString *error);
    // Aborts a running send and starts no other; the caller leaves the loop.
    void stop();

private:
    void acceptConnections();
    void adopt(QTcpSocket *socket);
    void dropClient();
    void readMetered();
    void reportReceive(const ReceiveEvent &event);
    void reportIncomplete();
    void sendRaw(const QString &path);
    void queueSend(const QString &path);
    void sendNext();
    int sendFile(const QString &path);

    const Settings m_settings;
    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    std::unique_ptr<SocketReceiver> m_receiver; // one per connection
    QTimer m_readTimer;
    qint64 m_readCredit = 0; // carries the fraction of a byte between ticks
    QQueue<QString> m_sendQueue;
    bool m_sending = false;
    bool m_stopping = false;

    std::atomic<bool> m_cancelSends{false};
};
