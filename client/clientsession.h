#pragma once

#include "client/noticethrottle.h"
#include "client/sendqueue.h"
#include "history/transferhistory.h"
#include "settings/existingfiles.h"
#include "settings/recentaddresses.h"
#include "settings/sendpace.h"
#include "transfer/transferevents.h"

#include <QAbstractSocket>
#include <QModelIndexList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <optional>

class QTimer;
class RateMeter;
class ReconnectSchedule;
class TransferListModel;
class sendThread;

// The decisions behind the window, without a widget: what the network
// worker is told to do, and what the user is told of it. It is the only
// writer of the worker's hand-over fields, owns the send queue, the
// reconnect schedule, the recent addresses, the history and the transfer
// list's rows, and turns each event of the worker into plain values (log
// lines, the state label, the progress of each side, notices) that a view
// shows and a test reads.
// GUI thread only; the worker is not owned.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    enum class Side { Send, Receive };
    Q_ENUM(Side)

    // The state label: a text, and a colour for states that have one (the
    // others keep the colour before them).
    struct State
    {
        QString text;
        std::optional<Qt::GlobalColor> colour;
    };

    ClientSession(sendThread *worker, const QString &historyPath, QObject *parent = nullptr);
    ~ClientSession() override;

    // ---- What the user asks for ----
    void connectTo(const QString &address);
    void disconnectFromController();
    void setAutoReconnect(bool enabled);
    void greet();
    // Sends the files that wait, else these (chosen in a dialog). False, and
    // a log line, while there is no connection; false while a send runs.
    bool readyToSend();
    void send(const QStringList &paths);
    // Files dropped: they join a running queue, or start one.
    void queue(const QStringList &paths);
    // The local files among what was dropped are queued; false when there
    // is none (a web address, say).
    bool queueDropped(const QList<QUrl> &urls);
    // Stops the file being sent and drops the files after it.
    void stop();
    void setBufferSize(int bytes);
    // How the files that go from now on are sent: at which pace, and with
    // how long a pause between two files of a queue (0: none). A stop ends
    // the pause and the files after it.
    void setSendPace(const SendPace &pace);
    void setFileGap(int ms);
    void setReceiveFolder(const QString &folder);
    // The folder received files go to.
    QString receiveFolder() const;
    // What a verified file does to one of its name already in the folder;
    // from the next file on.
    void setExistingFiles(ExistingFiles rule);
    // The controllers that receiver services of this PC hold, asked at each
    // connect the user makes; ReceiverServices' by default.
    void setLocalReceivers(std::function<QStringList()> controllers);
    ExistingFiles existingFiles() const;
    // The recent addresses as settings.ini kept them.
    void setRecentAddresses(const QStringList &stored);
    void forgetAddress(const QString &address);
    // Failed sends among these rows of transferList() join the send queue,
    // oldest first, ahead of the files that waited after a failure, and
    // start at once when connected and idle; while a queue runs they join
    // its end. A file gone or unreadable is refused with a log line and
    // stays in "失败", as does a reception, which only the controller can
    // send again. Rows that join the queue leave "失败" (history.csv keeps
    // them).
    void retry(const QModelIndexList &rows);
    // Every row of "失败" that is a send.
    void retryAll();

    // ---- What the worker reports ----
    void socketStateChanged(QAbstractSocket::SocketState state);
    void clientErrorOccurred();
    void receiveEventArrived(const ReceiveEvent &event);
    void sendEventArrived(const SendEvent &event);

    bool hasWaiting() const { return m_sendQueue.hasWaiting(); }
    bool connectOffered() const { return m_connectOffered; }
    bool disconnectOffered() const { return m_disconnectOffered; }
    const QStringList &recentAddresses() const { return m_recentAddresses.list(); }
    QString historyPath() const { return m_history.filePath(); }
    ReconnectSchedule *reconnectSchedule() const { return m_reconnect; }
    SendQueue &sendQueue() { return m_sendQueue; }
    // This run's transfers, those waiting and running, and the history's.
    TransferListModel *transferList() const { return m_transferList; }

signals:
    // The one command channel to the worker (through the window's handleCmd).
    void command(int cmd);
    void logLine(const QString &line);
    void stateChanged(const ClientSession::State &state);
    // A socket error's text, shown for MessageDisplayMs.
    void errorShown(const QString &text);
    // "建立连接" and "断开连接".
    void connectActionsChanged();
    // The controls a running send or reception locks, and the buffer size.
    void transferControlsChanged(ClientSession::Side side, bool enabled);
    // A side's progress is shown from its start to its end.
    void progressShown(ClientSession::Side side, bool shown);
    // A share of 0 to 100; none while the total is unknown or exceeded.
    void progressMoved(ClientSession::Side side, int percent);
    void rateChanged(ClientSession::Side side, const QString &text);
    // "2/5": the place of the file handed over last, shown while a queue of
    // more than one file runs.
    void queuePlaceChanged(const QString &place, bool shown);
    // The folder of a file being sent, which the receive folder follows.
    void receiveFolderFollows(const QString &folder);
    void recentAddressesChanged();
    // A transfer or a queue ended: for a user who is elsewhere.
    void notice(const NoticeThrottle::Notice &notice);

public:
    static constexpr int MessageDisplayMs = 5000;

private:
    void connectToController();
    void warnOfLocalReceiver();
    void endConnection(int command);
    void offerConnect(bool connect, bool disconnect);
    void showState(const QString &text, std::optional<Qt::GlobalColor> colour = std::nullopt);
    void showRetrying();
    void showDisconnected();
    void showRetriesStopped();
    void setTransferControlsEnabled(bool enabled, Side side);
    void log(const QString &line);
    void logDuration(const char *label, qint64 elapsedMs);
    void startProgress(Side side, qint64 elapsedMs, quint64 bytes);
    void showPercentage(Side side, quint64 done, quint64 total);
    void endProgress(Side side);
    RateMeter *rateMeter(Side side) const;

    bool logSendEvent(const SendEvent &event);
    bool logReceiveEvent(const ReceiveEvent &event);
    void logExisting(const ReceiveEvent &event);
    void sendNextQueued();
    void logPace();
    void nextAfterGap();
    void showWaiting();
    void requeue(const QStringList &paths);
    bool inSendQueue(const QString &path) const;
    TransferRecord begun(TransferRecord::Direction direction, const QString &fileName,
                         const QString &path) const;
    void listProgress(const SendEvent &event);
    void listProgress(const ReceiveEvent &event);
    void historyLoaded(int skipped, const QString &error);
    void queuedFileEnded(const SendEvent &event);
    void queueRunEnded(SendQueue::After after, const SendQueue::Place &last);
    void showQueuePlace();
    void receptionEnded(const ReceiveEvent &event);
    void recordEnded(const TransferRecord &record);

    sendThread *m_worker;
    ReconnectSchedule *m_reconnect;
    RateMeter *m_sendRate;
    RateMeter *m_receiveRate;
    TransferListModel *m_transferList;
    // What the last connect was sent to: it joins the recent addresses only
    // once a connection to it is made.
    QString m_connectingTo;
    std::function<QStringList()> m_localReceivers;
    // From RecStarted to the reception's end; a stop the user made in it.
    bool m_receiving = false;
    bool m_receptionStopped = false;
    bool m_connectOffered = true;
    bool m_disconnectOffered = true;
    // Hands the worker one file at a time: from CmdSendFile until that
    // send's end code a second send must not start, or it would run inside
    // the first.
    SendQueue m_sendQueue;
    SendPace m_sendPace;
    int m_fileGapMs = 0;
    QTimer *m_fileGap;
    RecentAddresses m_recentAddresses;
    TransferHistory m_history;
};

Q_DECLARE_METATYPE(ClientSession::State)
Q_DECLARE_METATYPE(NoticeThrottle::Notice)
