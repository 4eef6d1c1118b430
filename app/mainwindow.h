#pragma once

#include "client/clientsession.h"
#include "settings/existingfiles.h"
#include "settings/sendpace.h"
#include "transfer/transferevents.h"

#include <QAbstractSocket>
#include <QMainWindow>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <optional>

class Appearance;
class AwayNotices;
class Desktop;
class LogView;
class QMenu;
class QLabel;
class QProgressBar;
class RateLabel;
class RecentAddressCompleter;
class ReconnectSchedule;
class TransferListWindow;
class sendThread;

namespace Ui {
class MainWindow;
}

// The main window of the tool. It shows what its ClientSession decides and
// passes the user's clicks and drops to it; it never touches the
// connection or a transferred file itself. The session's commands reach
// the network worker through handleCmd.
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
    ClientSession *session() const { return m_session; }
    // When a lost controller is tried again, for tests that skip the waits.
    ReconnectSchedule *reconnectSchedule() const { return m_session->reconnectSchedule(); }
    // The files to send one after another; tests make some wait.
    SendQueue &sendQueue() { return m_session->sendQueue(); }
    // In place of the system's notifications and file manager.
    void setDesktop(std::unique_ptr<Desktop> desktop);
    // A look the command line chose, over settings.ini's, for this run only.
    void showLookForThisRun(const QString &appearance);
    Appearance *appearance() const { return m_appearance; }

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
    void saveSettings();
    void selectPage(int index);
    void clearMessages();
    void fitButtonRow();
    void createSession();
    void showState(const ClientSession::State &state);
    void showError(const QString &text);
    void showConnectActions();
    void showTransferControls(ClientSession::Side side, bool enabled);
    void showProgress(ClientSession::Side side, bool shown);
    void showQueuePlace(const QString &place, bool shown);
    void fillLogMenu(QMenu *menu);
    void openSettings();
    void applySendSettings(const SendPace &pace, int fileGapMs);

    // NOLINTBEGIN(readability-identifier-naming)
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
    QLabel *sendQueueLabel = nullptr; // "2/5", beside the send's progress
    // NOLINTEND(readability-identifier-naming)

    ClientSession *m_session = nullptr;
    LogView *m_log = nullptr;
    std::unique_ptr<AwayNotices> m_notices;
    TransferListWindow *m_transferList = nullptr;
    Appearance *m_appearance = nullptr;
    // As settings.ini keeps them, whatever this run's command line chose.
    std::optional<QString> m_language;
    std::optional<QString> m_look;
    SendPace m_sendPace;
    int m_fileGapMs = 0;
    ExistingFiles m_existingFiles = ExistingFiles::Overwrite;
};
