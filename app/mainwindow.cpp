#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/desktop.h"
#include "app/ratelabel.h"
#include "app/recentaddresscompleter.h"
#include "history/transferoutcome.h"
#include "kvrversion.h"
#include "net/kvrcodes.h"
#include "net/reconnectschedule.h"
#include "net/sendthread.h"
#include "settings/defaults.h"
#include "settings/settingsfile.h"
#include "transfer/protocol.h"
#include "transfer/sharedvalues.h"
#include "transfer/stopthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

#include <utility>

namespace {

constexpr int MessageDisplayMs = 5000;
constexpr int SendSide = 1;
constexpr int ReceiveSide = 0;
constexpr int ServerPage = 0;
constexpr int ClientPage = 1;
// The log keeps its newest lines only (and the engine cuts each piece of
// controller text): a controller that floods the connection with text must
// not take the window's memory or its time. Old lines go a batch at a time,
// as each removal at the top lays the whole log out again.
constexpr int MaxLogBlocks = 2000;
constexpr int LogTrimBlocks = 500;
// Receive reports queued for the window before the worker stops reading.
constexpr int MaxUnhandledReceiveEvents = 64;

constexpr char DisconnectedLine[] = "已和KVR控制器断开连接\n";
constexpr char RetriesStartedLine[] = "开始自动重连";
constexpr char RetriesStoppedLine[] = "已停止自动重连";
constexpr char ReceptionStoppedLine[] = "已停止接收，未完成的文件已删除";

QPalette statusPalette(Qt::GlobalColor window)
{
    return QPalette(QColor::fromRgb(0, 0, 10), QColor(window));
}

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

// "a.bin, b.bin": the names as they are sent.
QString fileNames(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths)
        names << Protocol::printable(Protocol::fileNameOf(path));
    return names.join(QLatin1String(", "));
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(QCoreApplication::applicationDirPath(), parent)
{}

MainWindow::MainWindow(const QString &programDir, QWidget *parent)
    : QMainWindow(parent), versionTag(QStringLiteral("(" KVR_VERSION ")")),
      settingsFilePath(SettingsFile::path(programDir)),
      settingsAreTheUsers(!SettingsFile::isPortable(programDir)),
      m_history(TransferHistory::pathBeside(settingsFilePath))
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    initStatusBar();
    reconnect = new ReconnectSchedule(this);
    connect(reconnect, &ReconnectSchedule::attemptDue, this, &MainWindow::connectToController);
    m_desktop = std::make_unique<SystemDesktop>(this);

    workThread = new sendThread;
    workThread->limitUnhandledReceiveEvents(MaxUnhandledReceiveEvents);
    workThread->moveToThread(workThread);
    connect(this, &MainWindow::handleCmd, workThread, &sendThread::handleCmd);
    connect(workThread, &sendThread::onSocketStateChange, this, &MainWindow::onSocketStateChange);
    connect(workThread, &sendThread::onClientErrorOccurs, this, &MainWindow::onClientErrorOccurs);
    connect(workThread, &sendThread::receiveEvent, this, &MainWindow::getRecState);
    connect(workThread, &sendThread::sendEvent, this, &MainWindow::getTransState);
    workThread->start(QThread::InheritPriority);

    fillLocalIpList();
    loadSettings();

    QFont windowFont = font();
    windowFont.setPointSize(11);
    setFont(windowFont);

    connect(&msgTimer, &QTimer::timeout, &msgTimer, [this] { clearMessages(); });
    workThread->bufferSize = ui->spinBox_bufferSize->value();
    // Whatever the file held: without a page to select, the window would
    // keep the form's title, "MainWindow".
    selectPage(ClientPage);
    on_act_connect_triggered();

    ui->textEdit->setReadOnly(true);
    // Nobody undoes a read-only log; the history would keep every line.
    ui->textEdit->document()->setUndoRedoEnabled(false);
    // Drops on the log must reach the window's own handlers.
    ui->textEdit->setAcceptDrops(false);
    setAcceptDrops(true);
    initLogMenu();
    fitButtonRow();
}

// The button row sits at a fixed place on the central widget. With a larger
// font the toolbar and status bar grow and would cover it at the start-up
// height, so the window starts taller by what is missing.
void MainWindow::fitButtonRow()
{
    layout()->activate();
    const int missing = ui->layoutWidget->geometry().bottom() + 1 - ui->centralwidget->height();
    if (missing > 0)
        resize(width(), height() + missing);
}

void MainWindow::setDesktop(std::unique_ptr<Desktop> desktop)
{
    m_desktop = std::move(desktop);
}

MainWindow::~MainWindow()
{
    saveSettings();
    // Stopping it first: a send in progress would otherwise run to the end
    // of its file.
    ThreadDeleter()(workThread);
    delete ui;
    delete serverMsgLabel;
    delete serverStateLabel;
    delete clientStateLabel;
    delete clientMsgLabel;
    delete sendProgressBar;
    delete recProgressBar;
}

void MainWindow::clearMessages()
{
    msgTimer.stop();
    serverMsgLabel->setPalette(ui->statusbar->palette());
    serverMsgLabel->clear();
    clientMsgLabel->setPalette(ui->statusbar->palette());
    clientMsgLabel->clear();
}

// ---- Settings ----

// A portable copy receives beside itself; an installed one into a folder of
// its own, made now so that the first file finds it.
QString MainWindow::defaultReceiveFolder() const
{
    if (!settingsAreTheUsers)
        return QCoreApplication::applicationDirPath();
    const QString folder = SettingsFile::userReceiveFolder();
    QDir().mkpath(folder);
    return folder;
}

// Left empty, an installed copy would receive into the program's folder
// (root's /usr/bin): its own folder stands in.
QString MainWindow::receiveFolder(const QString &chosen) const
{
    return chosen.isEmpty() && settingsAreTheUsers ? defaultReceiveFolder() : chosen;
}

// Deliberately not the form's default address, so one can tell which of the
// two put an address there.
void MainWindow::loadSettings()
{
    const QString defaultAddress = utf8(Defaults::ControllerAddress);
    // A missing file reads as all unset.
    const SettingsFile::Values stored = SettingsFile::read(settingsFilePath);
    recentAddresses = new RecentAddressCompleter(ui->serverAddressLineEdit,
                                                 stored.recentAddresses.value_or(QStringList()));
    if (!QFileInfo::exists(settingsFilePath)) {
        selectPage(ServerPage);
        ui->dirShowLineEdit->setText(defaultReceiveFolder());
        ui->serverAddressLineEdit->setText(defaultAddress);
        return;
    }
    ui->dirShowLineEdit->setText(stored.saveFilePath ? receiveFolder(*stored.saveFilePath)
                                                     : defaultReceiveFolder());
    if (stored.socketType)
        selectPage(*stored.socketType == QLatin1String("server") ? ServerPage : ClientPage);
    ui->serverAddressLineEdit->setText(stored.serverAddress.value_or(defaultAddress));
    ui->act_autoReconnect->setChecked(stored.autoReconnect.value_or(false));
}

void MainWindow::saveSettings()
{
    SettingsFile::Values values;
    values.saveFilePath = ui->dirShowLineEdit->text();
    const bool server = ui->stackedWidget->currentIndex() == ServerPage;
    values.socketType = server ? QStringLiteral("server") : QStringLiteral("client");
    values.serverAddress = ui->serverAddressLineEdit->text();
    values.recentAddresses = recentAddresses->addresses();
    values.autoReconnect = ui->act_autoReconnect->isChecked();
    if (!SettingsFile::write(settingsFilePath, values))
        qWarning() << "settings not saved to" << QDir::toNativeSeparators(settingsFilePath);
    qDebug() << "ui->dirShowLineEdit->text()=" << ui->dirShowLineEdit->text();
    qDebug() << "ui->serverAddressLineEdit->text()=" << ui->serverAddressLineEdit->text();
}

// The page-change handler runs exactly once for the page, whether or not
// the page changes.
void MainWindow::selectPage(int index)
{
    if (ui->stackedWidget->currentIndex() == index)
        on_stackedWidget_currentChanged(index);
    else
        ui->stackedWidget->setCurrentIndex(index);
}

// ---- Connection and status display ----

// While a run of retries is on, its connects show as the run and log
// nothing: the log tells the run's start, not each attempt that fails.
void MainWindow::onSocketStateChange(QAbstractSocket::SocketState state)
{
    const bool wasRetrying = reconnect->isRunning();
    if (state == QAbstractSocket::UnconnectedState)
        reconnect->linkLost();
    else if (state == QAbstractSocket::ConnectedState)
        reconnect->connected();
    const bool notConnected = state == QAbstractSocket::UnconnectedState ||
                              state == QAbstractSocket::HostLookupState ||
                              state == QAbstractSocket::ConnectingState;
    if (reconnect->isRunning() && notConnected) {
        if (!wasRetrying) {
            appendLog(utf8(DisconnectedLine));
            appendLog(utf8(RetriesStartedLine));
        }
        showRetrying();
        return;
    }
    switch (state) {
    case QAbstractSocket::UnconnectedState:
        showDisconnected();
        appendLog(utf8(DisconnectedLine));
        break;
    case QAbstractSocket::HostLookupState:
        clientStateLabel->setText(tr("正在查找主机"));
        break;
    case QAbstractSocket::ConnectingState:
        clientStateLabel->setText(tr("正在连接..."));
        clientStateLabel->setPalette(statusPalette(Qt::yellow));
        break;
    case QAbstractSocket::ConnectedState:
        clientStateLabel->setText(tr("已建立连接"));
        clientStateLabel->setPalette(statusPalette(Qt::green));
        appendLog(utf8("已和KVR控制器建立连接\n"));
        ui->act_connect->setEnabled(false);
        recentAddresses->remember(connectingTo);
        break;
    case QAbstractSocket::BoundState:
        clientStateLabel->setText(tr("已绑定到地址和端口"));
        break;
    case QAbstractSocket::ListeningState:
        clientStateLabel->setText(tr("正在监听中"));
        break;
    case QAbstractSocket::ClosingState:
        clientStateLabel->setText(tr("即将关闭"));
        break;
    }
}

// A run is a connect that is not over yet: only "断开连接" is offered.
void MainWindow::showRetrying()
{
    clientStateLabel->setText(tr("正在重连 (第%1次)…").arg(reconnect->attempt()));
    clientStateLabel->setPalette(statusPalette(Qt::red));
    ui->act_connect->setEnabled(false);
    ui->act_disconnect->setEnabled(true);
}

void MainWindow::showDisconnected()
{
    clientStateLabel->setText(tr("已断开连接"));
    clientStateLabel->setPalette(statusPalette(Qt::red));
    ui->act_connect->setEnabled(true);
    ui->act_disconnect->setEnabled(false);
}

// A connect of a run that was under way goes on and reports how it ended.
void MainWindow::showRetriesStopped()
{
    appendLog(utf8(RetriesStoppedLine));
    if (workThread->clientState() == QAbstractSocket::UnconnectedState) {
        showDisconnected();
    } else {
        clientStateLabel->setText(tr("正在连接..."));
        clientStateLabel->setPalette(statusPalette(Qt::yellow));
    }
}

// The text comes from the worker, which read it in its own thread: the
// socket may be busy there, or already replaced, by the time we get here.
void MainWindow::onClientErrorOccurs(QTcpSocket *)
{
    clientMsgLabel->setText(workThread->takeClientErrorText());
    clientMsgLabel->setPalette(statusPalette(Qt::red));
    msgTimer.start(MessageDisplayMs);
}

void MainWindow::on_act_connect_triggered()
{
    connectingTo = ui->serverAddressLineEdit->text().trimmed();
    connectToController();
    ui->act_connect->setEnabled(false);
    ui->act_disconnect->setEnabled(true);
}

// Every attempt of a run goes to the address the user connected to, whatever
// the field holds by then.
void MainWindow::connectToController()
{
    workThread->controllerAddress.set(connectingTo);
    reconnect->connectStarted();
    emit handleCmd(CmdConnect);
}

void MainWindow::on_act_disconnect_triggered()
{
    endConnection(CmdDisconnect);
}

// The user ends the connection, by a command that closes it.
void MainWindow::endConnection(int command)
{
    const bool wasRetrying = reconnect->isRunning();
    reconnect->stop();
    emit handleCmd(command);
    if (wasRetrying) {
        // Nothing may be connected to report the end: show it here.
        appendLog(utf8(RetriesStoppedLine));
        showDisconnected();
    }
    ui->act_connect->setEnabled(true);
    ui->act_disconnect->setEnabled(false);
}

void MainWindow::on_act_autoReconnect_toggled(bool checked)
{
    const bool wasRetrying = reconnect->isRunning();
    reconnect->setEnabled(checked);
    if (wasRetrying && !reconnect->isRunning()) {
        showRetriesStopped();
    } else if (!wasRetrying && reconnect->isRunning()) {
        appendLog(utf8(RetriesStartedLine));
        showRetrying();
    }
}

void MainWindow::on_stackedWidget_currentChanged(int arg1)
{
    if (arg1 != ServerPage && arg1 != ClientPage)
        return;
    const bool client = arg1 == ClientPage;
    ui->act_connect->setVisible(client);
    ui->act_disconnect->setVisible(client);
    ui->act_autoReconnect->setVisible(client);
    clientStateLabel->setVisible(client);
    clientMsgLabel->setVisible(client);
    serverStateLabel->setVisible(!client);
    serverMsgLabel->setVisible(!client);
    setWindowTitle((client ? utf8("KVR文件网络传输助手") : utf8("服务端")) + versionTag);
}

void MainWindow::fillLocalIpList()
{
    ui->localIpComBox->clear();
    const QHostInfo host = QHostInfo::fromName(QHostInfo::localHostName());
    const QList<QHostAddress> addresses = host.addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ui->localIpComBox->addItem(address.toString());
    }
}

// ---- Transfer progress and log ----

void MainWindow::initStatusBar()
{
    const auto makeLabel = [this](const char *name) {
        auto *label = new QLabel(this);
        label->setObjectName(QLatin1String(name));
        label->setAutoFillBackground(true);
        return label;
    };
    serverStateLabel = makeLabel("serverStateLabel");
    serverMsgLabel = makeLabel("serverMsgLabel");
    ui->statusbar->addWidget(serverStateLabel);
    ui->statusbar->addPermanentWidget(serverMsgLabel);
    clientStateLabel = makeLabel("clientStateLabel");
    clientMsgLabel = makeLabel("clientMsgLabel");
    ui->statusbar->addWidget(clientStateLabel);
    ui->statusbar->addPermanentWidget(clientMsgLabel);

    const auto makeBar = [this](const char *name, const char *format) {
        auto *bar = new QProgressBar(this);
        bar->setObjectName(QLatin1String(name));
        bar->setFormat(QString::fromUtf8(format));
        ui->statusbar->addWidget(bar);
        bar->hide();
        return bar;
    };
    // Each rate beside its bar, shown and hidden with it.
    const auto makeRateLabel = [this](const char *name) {
        auto *label = new RateLabel(QLatin1String(name), this);
        ui->statusbar->addWidget(label);
        label->hide();
        return label;
    };
    sendQueueLabel = makeLabel("sendQueueLabel");
    ui->statusbar->addWidget(sendQueueLabel);
    sendQueueLabel->hide();
    sendProgressBar = makeBar("sendProgressBar", "发送:%p%");
    sendRateLabel = makeRateLabel("sendRateLabel");
    recProgressBar = makeBar("recProgressBar", "接收:%p%");
    recRateLabel = makeRateLabel("recRateLabel");
}

// The disconnect action follows the connection as the window knows it: it
// is offered exactly while "建立连接" is not, whatever link a transfer had.
void MainWindow::setTransferControlsEnabled(bool enabled, int side)
{
    if (workThread->sendLink == LinkClient || workThread->recvLink == LinkClient)
        ui->act_disconnect->setEnabled(enabled && !ui->act_connect->isEnabled());
    if (side == SendSide) {
        ui->testBtn->setEnabled(enabled);
        ui->fileTransmitBtn->setEnabled(enabled);
        if (enabled)
            workThread->sendLink = LinkNone;
    } else if (side == ReceiveSide) {
        ui->dirShowLineEdit->setEnabled(enabled);
        if (enabled)
            workThread->recvLink = LinkNone;
    }
    ui->spinBox_bufferSize->setEnabled(enabled);
}

void MainWindow::getTransState(const SendEvent &event)
{
    switch (event.code) {
    case TransStarted:
        appendLog(utf8("开始传送中..."));
        sendProgressBar->show();
        sendRateLabel->start(event.elapsedMs, event.bytesRead);
        setTransferControlsEnabled(false, SendSide);
        break;
    case TransDone:
        endSend();
        appendLog(utf8("传送完成!"));
        appendLog(utf8("发送文件大小:") + QString::number(event.bytesRead));
        appendLog(utf8("总发送字节大小:") + QString::number(event.bytesWritten));
        logDuration("发送耗时:", event.elapsedMs);
        break;
    case TransProgress:
        showPercentage(sendProgressBar, event.bytesRead, event.fileSize);
        sendRateLabel->progress(event.elapsedMs, event.bytesRead, event.fileSize);
        break;
    case TransAborted:
        endSend();
        appendLog(utf8("传送已被强制中断!\n"));
        break;
    case TransDisconnected:
        appendLog(utf8("连接已断开,传送中断!"));
        endSend();
        break;
    case TransOpenFailed:
        appendLog(utf8("打开文件失败，传送中断\n"));
        endSend();
        break;
    case TransReadFailed:
        appendLog(utf8("读取文件失败，传送中断\n"));
        endSend();
        break;
    case TransChanged:
        appendLog(utf8("文件在发送中被修改,传送失败!\n"));
        endSend();
        break;
    default:
        return;
    }
    if (endsSend(event.code))
        queuedFileEnded(event);
}

void MainWindow::endSend()
{
    sendProgressBar->hide();
    sendRateLabel->hide();
    setTransferControlsEnabled(true, SendSide);
}

void MainWindow::getRecState(const ReceiveEvent &event)
{
    workThread->receiveEventHandled();
    switch (event.code) {
    case RecDone:
        appendLog(utf8("接收完成!"));
        appendLog(utf8("文件接收大小:") + QString::number(event.fileBytes));
        appendLog(utf8("总接收Byte大小:") + QString::number(event.totalBytes));
        logDuration("接收耗时:", event.elapsedMs);
        // Nothing vouched for a file that came without a digest but the size.
        if (event.sizeMismatch)
            appendLog(
                utf8("文件大小不符: 收到 %1, 声明 %2").arg(event.fileBytes).arg(event.fileSize));
        if (!event.savedAs.isEmpty())
            appendLog(utf8("文件名已被占用,已另存为: ") + QDir::toNativeSeparators(event.savedAs));
        endReception();
        break;
    case RecStarted:
        m_receiving = true;
        appendLog(utf8("\n开始接收..."));
        recProgressBar->show();
        recRateLabel->start(event.elapsedMs, event.fileBytes);
        setTransferControlsEnabled(false, ReceiveSide);
        showPercentage(recProgressBar, event.fileBytes, event.fileSize);
        break;
    case RecProgress:
        showPercentage(recProgressBar, event.fileBytes, event.fileSize);
        recRateLabel->progress(event.elapsedMs, event.fileBytes, event.fileSize);
        break;
    case RecCreateFailed:
        appendLog(utf8("创建文件失败,接收失败!\n"));
        if (event.programFile)
            appendLog(utf8("拒绝接收 %1: 不能覆盖本程序自己的文件")
                          .arg(Protocol::printable(event.fileName)));
        break;
    case RecTimeout:
        appendLog(m_receptionStopped ? utf8(ReceptionStoppedLine)
                                     : utf8("接收超时，已强制中断!\n"));
        endReception();
        break;
    case RecRawData:
        appendLog(QStringLiteral("[in] ") + event.rawText);
        break;
    case RecMd5Mismatch:
        appendLog(utf8("文件MD5校验失败,接收失败!\n"));
        endReception();
        break;
    case RecWriteFailed:
        appendLog(utf8("写入文件失败,接收中断!\n"));
        if (!event.savedAs.isEmpty())
            appendLog(utf8("已校验的文件保留在: ") + QDir::toNativeSeparators(event.savedAs));
        endReception();
        break;
    default:
        return;
    }
    if (endsReception(event.code))
        receptionEnded(event);
}

void MainWindow::endReception()
{
    m_receiving = false;
    recProgressBar->hide();
    recRateLabel->hide();
    setTransferControlsEnabled(true, ReceiveSide);
}

// Always plain text: raw data from the controller must show as it came,
// never be read as HTML.
void MainWindow::appendLog(const QString &line)
{
    QScrollBar *scrollBar = ui->textEdit->verticalScrollBar();
    const bool atBottom = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(ui->textEdit->document());
    cursor.movePosition(QTextCursor::End);
    if (!ui->textEdit->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    trimLog();
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::trimLog()
{
    QTextDocument *log = ui->textEdit->document();
    const int excess = log->blockCount() - MaxLogBlocks;
    if (excess <= 0)
        return;
    QTextCursor oldest(log);
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess + LogTrimBlocks);
    oldest.removeSelectedText();
}

void MainWindow::logDuration(const char *label, qint64 elapsedMs)
{
    appendLog(utf8(label) + QString::number(elapsedMs * 0.001, 'f', 3) + QStringLiteral("s\n"));
}

// A zero total, or a share beyond 100% (more data than announced), leaves
// the bar as it is.
void MainWindow::showPercentage(QProgressBar *bar, quint64 done, quint64 total)
{
    if (total == 0)
        return;
    const double percent = double(done) / double(total) * 100.0;
    if (percent > 100.0)
        return;
    bar->setValue(int(percent));
}

void MainWindow::on_testBtn_clicked()
{
    workThread->currentDevice = workThread->clientSocket.load();
    if (workThread->clientState() == QAbstractSocket::ConnectedState)
        emit handleCmd(CmdTest);
    else
        appendLog(utf8("未建立连接，无法发送!"));
}

void MainWindow::on_clearTextBtn_clicked()
{
    ui->textEdit->clear();
}

// Stops the file being sent and drops the files after it. A reception
// cannot stop mid-file and go on: the connection closes under it.
void MainWindow::on_stopSendBtn_clicked()
{
    workThread->stopRequested = true;
    const QStringList unsent = m_sendQueue.stop();
    if (!unsent.isEmpty())
        appendLog(utf8("以下文件未发送: ") + fileNames(unsent));
    showQueuePlace();
    if (m_receiving && !m_receptionStopped) {
        m_receptionStopped = true;
        endConnection(CmdStopReception);
    }
}

void MainWindow::on_spinBox_bufferSize_valueChanged(int arg1)
{
    workThread->bufferSize = arg1;
}

// ---- File choice and drag-and-drop ----

void MainWindow::on_chooseDirBtn_clicked()
{
    const QString dir = QFileDialog::getExistingDirectory(this, utf8("选择文件夹"),
                                                          QCoreApplication::applicationDirPath(),
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        ui->dirShowLineEdit->setText(dir);
}

void MainWindow::on_dirShowLineEdit_textChanged(const QString &arg1)
{
    saveFilePath.set(receiveFolder(arg1));
}

// Sends the files that wait, or else the files chosen in the dialog.
void MainWindow::on_fileTransmitBtn_clicked()
{
    if (m_sendQueue.sending() || !connectedForSend())
        return;
    if (!m_sendQueue.hasWaiting())
        m_sendQueue.add(QFileDialog::getOpenFileNames(this, utf8("选择文件"),
                                                      ui->dirShowLineEdit->text(), QString()));
    if (m_sendQueue.hasWaiting())
        sendNextQueued();
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

// Every local file dropped is sent, without a dialog; a drop with none
// (a web address) asks for files as the button does.
void MainWindow::dropEvent(QDropEvent *event)
{
    const QMimeData *data = event->mimeData();
    if (!data->hasUrls() || data->urls().isEmpty())
        return;
    QStringList paths;
    for (const QUrl &url : data->urls()) {
        qDebug() << "用户拖放访问目录:" << url.toLocalFile();
        if (!url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    }
    if (paths.isEmpty())
        on_fileTransmitBtn_clicked();
    else
        queueFiles(paths);
}

// ---- Send queue ----

// While a send runs the files join its run; otherwise they start one, or
// wait for a connection.
void MainWindow::queueFiles(const QStringList &paths)
{
    const bool running = m_sendQueue.sending();
    m_sendQueue.add(paths);
    if (running && m_sendQueue.stopping()) {
        appendLog(utf8("已加入发送队列: %1 (停止后待发送)").arg(fileNames(paths)));
    } else if (running) {
        appendLog(utf8("已加入发送队列: %1 (共%2个)")
                      .arg(fileNames(paths))
                      .arg(m_sendQueue.current().total));
        showQueuePlace();
    } else if (connectedForSend()) {
        sendNextQueued();
    }
}

bool MainWindow::connectedForSend()
{
    workThread->currentDevice = workThread->clientSocket.load();
    if (workThread->clientState() == QAbstractSocket::ConnectedState)
        return true;
    appendLog(utf8("未建立连接，传送失败!"));
    return false;
}

// One CmdSendFile, for the oldest waiting file. Locked from here, not from
// TransStarted: hashing a large file takes seconds, and every end code of
// the send unlocks again.
void MainWindow::sendNextQueued()
{
    const SendQueue::Place place = m_sendQueue.handOver();
    if (place.total > 1)
        appendLog(utf8("[%1/%2] 开始传送 %3")
                      .arg(place.number)
                      .arg(place.total)
                      .arg(fileNames({place.path})));
    showQueuePlace();
    workThread->currentDevice = workThread->clientSocket.load();
    workThread->filePath.set(place.path);
    qDebug() << "mulu_xuanzhe=" << place.path;
    const QString folder = QFileInfo(place.path).absolutePath();
    qDebug() << "最后用户选择的文件目录=" << folder;
    ui->dirShowLineEdit->setText(folder);
    // A stop from now on is meant for this file, one from before is not.
    workThread->stopRequested = false;
    workThread->sendLink = LinkClient;
    setTransferControlsEnabled(false, SendSide);
    emit handleCmd(CmdSendFile);
}

// A file that the queue handed over ended: its line of history, then the
// next file or the end of the run.
void MainWindow::queuedFileEnded(const SendEvent &event)
{
    if (!m_sendQueue.sending())
        return;
    const SendQueue::Place place = m_sendQueue.current();
    recordHistory("send", Protocol::fileNameOf(place.path), event.bytesRead, event.md5Hex,
                  TransferOutcome::ofSend(event.code), event.elapsedMs);
    const SendQueue::After after = m_sendQueue.fileEnded(event.code);
    if (after == SendQueue::After::Next)
        sendNextQueued();
    else
        queueRunEnded(after, place);
    showQueuePlace();
}

void MainWindow::queueRunEnded(SendQueue::After after, const SendQueue::Place &last)
{
    const QString name = fileNames({last.path});
    if (after == SendQueue::After::Finished)
        notifyIfAway({utf8("发送完成"), name, last.total});
    // Files dropped after a stop wait as after a failure: the controller is
    // still inside the stopped file until it gives up on it.
    if (after != SendQueue::After::Next && m_sendQueue.hasWaiting())
        appendLog(utf8("以下文件等待发送,点击\"文件传输\"继续: ") +
                  fileNames(m_sendQueue.waiting()));
    if (after == SendQueue::After::Failed)
        notifyIfAway({utf8("发送失败"), name});
}

void MainWindow::showQueuePlace()
{
    const SendQueue::Place place = m_sendQueue.current();
    sendQueueLabel->setText(QStringLiteral("%1/%2").arg(place.number).arg(place.total));
    sendQueueLabel->setVisible(m_sendQueue.sending() && place.total > 1);
}

// ---- History and notices ----

// A connection that is gone when the reception stalled took the file with it.
void MainWindow::receptionEnded(const ReceiveEvent &event)
{
    TransferOutcome::Reception reception;
    reception.code = event.code;
    reception.sizeMismatch = event.sizeMismatch;
    reception.programFile = event.programFile;
    reception.cut = workThread->clientState() == QAbstractSocket::ConnectedState
                        ? TransferOutcome::Cut::Stall
                        : TransferOutcome::Cut::PeerClosed;
    if (std::exchange(m_receptionStopped, false))
        reception.cut = TransferOutcome::Cut::Interrupted;
    const QString outcome = TransferOutcome::ofReception(reception);
    recordHistory("receive", event.fileName, event.fileBytes, event.md5Hex, outcome,
                  event.elapsedMs);
    const bool done = outcome == QLatin1String(TransferOutcome::Done);
    notifyIfAway({utf8(done ? "接收完成" : "接收失败"), Protocol::printable(event.fileName)});
}

void MainWindow::recordHistory(const char *direction, const QString &fileName, quint64 bytes,
                               const QByteArray &md5Hex, const QString &outcome, qint64 ms)
{
    const HistoryEntry entry{QDateTime::currentDateTime(),
                             QString::fromLatin1(direction),
                             workThread->controllerAddress.get(),
                             Defaults::ControllerPort,
                             fileName,
                             bytes,
                             md5Hex,
                             outcome,
                             ms};
    const QString error = m_history.append(entry);
    if (!error.isEmpty())
        appendLog(utf8("无法写入传输记录 %1: %2")
                      .arg(QDir::toNativeSeparators(m_history.filePath()), error));
}

void MainWindow::notifyIfAway(const NoticeThrottle::Notice &notice)
{
    if (!isActiveWindow())
        showNotice(m_notices.post(notice));
}

// What the throttle held is shown once it is due, unless the user is back.
void MainWindow::showNotice(const QString &text)
{
    if (!text.isEmpty() && !isActiveWindow())
        m_desktop->notify(text);
    const qint64 wait = m_notices.msUntilDue();
    if (wait < 0 || std::exchange(m_noticeDue, true))
        return;
    QTimer::singleShot(int(wait), this, [this] {
        m_noticeDue = false;
        showNotice(m_notices.takeDue());
    });
}

void MainWindow::initLogMenu()
{
    ui->textEdit->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->textEdit, &QWidget::customContextMenuRequested, this, &MainWindow::showLogMenu);
}

// The log's standard actions, and the places its lines speak of.
void MainWindow::showLogMenu(const QPoint &position)
{
    QMenu *menu = ui->textEdit->createStandardContextMenu(position);
    menu->setObjectName(QStringLiteral("logMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    menu->addAction(utf8("打开接收文件夹"), this, [this] {
        const QString folder = ui->dirShowLineEdit->text();
        m_desktop->open(QUrl::fromLocalFile(
            folder.isEmpty() ? QCoreApplication::applicationDirPath() : folder));
    });
    QAction *history = menu->addAction(utf8("打开传输记录"), this, [this] {
        m_desktop->open(QUrl::fromLocalFile(m_history.filePath()));
    });
    history->setEnabled(QFileInfo::exists(m_history.filePath()));
    menu->popup(ui->textEdit->viewport()->mapToGlobal(position));
}
