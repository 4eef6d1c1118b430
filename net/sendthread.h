#pragma once

#include "net/workercommands.h"
#include "settings/defaults.h"
#include "settings/sendpace.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/receivedisk.h"
#include "transfer/transferevents.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>

class QTcpSocket;
class receiveThread;

// The network worker. The window moves it into its own thread (the object
// is its own QThread) and starts it; from then on every slot runs there.
// It owns the connection to the controller, carries out the window's
// commands (handleCmd), forwards socket events, and queues incoming bytes
// for the receive engine (recThread).
//
// The public fields are the hand-over fields the window writes just before
// the command that uses them, or reads for its display. Each is safe to
// touch from any thread: atomics, or strings copied under a lock.
class sendThread : public QThread
{
    Q_OBJECT

public:
    // The receive engine writes to disk, the real one unless a stand-in is
    // given.
    explicit sendThread(ReceiveDisk disk = {});
    ~sendThread() override;

    // Mirror of clientSocket's state, for threads other than the worker's.
    QAbstractSocket::SocketState clientState() const;
    // The error text that goes with one onClientErrorOccurs signal: the
    // receiver of that signal takes one text per signal, in order. Empty
    // when there is none.
    QString takeClientErrorText();
    // Makes a running send stop at its next block and drops writes not yet
    // carried out: for shutting down, as stopThread() does. Sets
    // stopRequested.
    void stop();
    // With a limit, reading from the socket pauses while that many
    // receiveEvent signals are not yet handled, so a reader slower than the
    // controller holds the controller back through TCP instead of queueing
    // reports without bound. The reader calls receiveEventHandled() once per
    // receiveEvent. Without a limit (0, the default) nothing is counted.
    void limitUnhandledReceiveEvents(int limit) { m_receiveEventLimit = limit; }
    void receiveEventHandled();

    std::atomic<int> sendLink{LinkNone};
    std::atomic<int> recvLink{LinkNone};
    // Not owned; must name clientSocket, else CmdTest and CmdSendFile treat
    // the connection as gone.
    std::atomic<QTcpSocket *> currentDevice{nullptr};
    GuardedValue<QString> controllerAddress;
    GuardedValue<QString> filePath;
    // Owned, lives in the worker thread. Other threads may read the pointer
    // but not use the socket: clientState() tells its state.
    std::atomic<QTcpSocket *> clientSocket{nullptr};
    // Stops the send at its next block, or before its first if it has not
    // begun. The sender never clears it: whoever hands a file over does,
    // before its CmdSendFile, so a stop meant for that file is not lost.
    std::atomic<bool> stopRequested{false};
    std::atomic<quint64> fileSize{0};
    std::atomic<quint64> bytesRead{0};
    std::atomic<quint64> bytesWritten{0};
    std::atomic<int> bufferSize{Defaults::BufferSize};
    GuardedValue<SendPace> sendPace;
    receiveThread *recThread = nullptr;

signals:
    void sendTransState(int state);
    void onSocketStateChange(QAbstractSocket::SocketState state);
    void onClientErrorOccurs(QTcpSocket *client);
    void sendRecState(int state);
    // Each code again with the values of its own event (the send's counters
    // and time since TransStarted; the reception's values from the engine),
    // emitted just before the plain code.
    void sendEvent(const SendEvent &event);
    void receiveEvent(const ReceiveEvent &event);

public slots:
    void handleCmd(int cmd_type);

private slots:
    void onErrorOccurs(QAbstractSocket::SocketError error);
    void onSocketReadyRead();
    void onClientStateChanged(QAbstractSocket::SocketState state);
    void resumeReading();

protected:
    void run() override;

private:
    struct PendingWrite
    {
        int command;
        QTcpSocket *device;
        QString path;
    };

    void createClientSocket();
    void discardClientSocket(QTcpSocket *socket);
    void connectToController();
    void disconnectFromController();
    void stopReception();
    void carryOutWrites();
    void sendFile(QTcpSocket *device, const QString &path);
    void publishSendEvent(const SendEvent &event);
    QTcpSocket *liveDevice(QTcpSocket *device) const;
    void queueIncoming(QTcpSocket *socket);
    void releaseReading();
    void forwardReceiveEvent(const ReceiveEvent &event);
    bool receiveEventsBacklogged() const;
    int chunkSize() const;
    void deleteRetiredSockets();

    // Worker thread only.
    QList<PendingWrite> m_pendingWrites;
    QTcpSocket *m_sendingDevice = nullptr;
    bool m_writing = false;
    bool m_readingHeld = false;
    bool m_streamOpen = false;
    QList<QTcpSocket *> m_retiredSockets;

    std::atomic<int> m_clientState{QAbstractSocket::UnconnectedState};
    std::atomic<bool> m_shuttingDown{false};
    std::atomic<int> m_receiveEventLimit{0};
    std::atomic<int> m_unhandledReceiveEvents{0};
    QMutex m_errorMutex;
    QStringList m_errorTexts;
};
