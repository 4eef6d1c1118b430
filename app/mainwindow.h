#pragma once

#include "history/transferhistory.h"
#include "net/noticethrottle.h"
#include "net/sendqueue.h"
#include "transfer/transferevents.h"

#include <QAbstractSocket>
#include <QMainWindow>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class Desktop;
class QLabel;
class QProgressBar;
class RateLabel;
class RecentAddressCompleter;
class ReconnectSchedule;
class sendThread;

namespace Ui {
class MainWindow;
}

// The one window of the tool. It never touches the connection or a
// transferred file itself: it hands commands to the network worker by
// handleCmd and shows what the worker reports back.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // programDir: the folder where a portable settings.ini is looked for,
    // the executable's own unless a test says otherwise.
    explicit MainWindow(const QString &programDir, QWidget *parent = nullptr);
    ~MainWindow() override;

    // The network worker, for tests that drive the window's reports.
    sendThread *worker() const { return workThread; }
    // When a lost controller is tried again, for tests that skip the waits.
    ReconnectSchedule *reconnectSchedule() const { return reconnect; }
    // The files to send one after another; tests make some wait.
    SendQueue &sendQueue() { return m_sendQueue; }
    // In place of the system's notifications and file manager.
    void setDesktop(std::unique_ptr<Desktop> desktop);

signals:
    void handleCmd(int cmd_type);

private slots:
    void onSocketStateChange(QAbstractSocket::SocketState state);
    void onClientErrorOccurs(QTcpSocket *client);
    // Each event carries its own values and duration: the window reads
    // nothing that a later event may have overwritten.
    void getRecState(const ReceiveEvent &event);
    void getTransState(const SendEvent &event);
    void on_act_connect_triggered();
    void on_act_disconnect_triggered();
    void on_act_autoReconnect_toggled(bool checked);
    void on_stackedWidget_currentChanged(int arg1);
    void on_testBtn_clicked();
    void on_clearTextBtn_clicked();
    void on_chooseDirBtn_clicked();
    void on_fileTransmitBtn_clicked();
    void on_dirShowLineEdit_textChanged(const QString &arg1);
    void on_stopSendBtn_clicked();
    void on_spinBox_bufferSize_valueChanged(int arg1);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void initStatusBar();
    void fillLocalIpList();
    void loadSettings();
    QString defaultReceiveFolder() const;
    QString receiveFolder(const QString &chosen) const;
    void saveSettings();
    void selectPage(int index);
    void endConnection(int command);
    void connectToController();
    void showRetrying();
    void showDisconnected();
    void showRetriesStopped();
    void clearMessages();
    void fitButtonRow();
    void setTransferControlsEnabled(bool enabled, int side);
    void endSend();
    void endReception();
    void appendLog(const QString &line);
    void trimLog();
    void logDuration(const char *label, qint64 elapsedMs);
    void showPercentage(QProgressBar *bar, quint64 done, quint64 total);

    // The send queue: files dropped or chosen go one after another.
    void queueFiles(const QStringList &paths);
    bool connectedForSend();
    void sendNextQueued();
    void queuedFileEnded(const SendEvent &event);
    void queueRunEnded(SendQueue::After after, const SendQueue::Place &last);
    void showQueuePlace();
    // The history, and telling a user who is elsewhere.
    void receptionEnded(const ReceiveEvent &event);
    void recordHistory(const char *direction, const QString &fileName, quint64 bytes,
                       const QByteArray &md5Hex, const QString &outcome, qint64 ms);
    void notifyIfAway(const NoticeThrottle::Notice &notice);
    void showNotice(const QString &text);
    void initLogMenu();
    void showLogMenu(const QPoint &position);

    QString versionTag;
    QString settingsFilePath;
    // An installed copy keeps settings.ini in the user's folder.
    bool settingsAreTheUsers = false;
    QTimer msgTimer;
    sendThread *workThread = nullptr;
    Ui::MainWindow *ui = nullptr;
    QLabel *clientStateLabel = nullptr;
    QLabel *serverStateLabel = nullptr;
    QLabel *clientMsgLabel = nullptr;
    QLabel *serverMsgLabel = nullptr;
    QProgressBar *sendProgressBar = nullptr;
    QProgressBar *recProgressBar = nullptr;
    RateLabel *sendRateLabel = nullptr;
    RateLabel *recRateLabel = nullptr;
    RecentAddressCompleter *recentAddresses = nullptr;
    ReconnectSchedule *reconnect = nullptr;
    // What the last connect was sent to: it joins the recent addresses only
    // once a connection to it is made.
    QString connectingTo;
    QLabel *sendQueueLabel = nullptr; // "2/5", beside the send's progress

    // Hands the worker one file at a time: from CmdSendFile until that send's
    // end code a second send must not start, or it would run inside the first.
    SendQueue m_sendQueue;
    TransferHistory m_history;
    std::unique_ptr<Desktop> m_desktop;
    NoticeThrottle m_notices;
    bool m_noticeDue = false; // a timer will show what is held
    // From RecStarted to the reception's end; a stop the user made in it.
    bool m_receiving = false;
    bool m_receptionStopped = false;
};
