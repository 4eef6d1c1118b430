#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/appearance.h"
#include "app/awaynotices.h"
#include "app/desktop.h"
#include "app/logview.h"
#include "app/ratelabel.h"
#include "app/recentaddresscompleter.h"
#include "app/settingsdialog.h"
#include "app/transferlistwindow.h"
#include "kvrversion.h"
#include "net/sendthread.h"
#include "settings/language.h"
#include "settings/settingsfile.h"
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
#include <QUrl>

namespace {

constexpr int ServerPage = 0;
constexpr int ClientPage = 1;
// Receive reports queued for the window before the worker stops reading.
constexpr int MaxUnhandledReceiveEvents = 64;

QPalette statusPalette(Qt::GlobalColor window)
{
    return QPalette(QColor::fromRgb(0, 0, 10), QColor(window));
}

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(QCoreApplication::applicationDirPath(), parent)
{}

MainWindow::MainWindow(const QString &programDir, QWidget *parent)
    : QMainWindow(parent), versionTag(QStringLiteral("(" KVR_VERSION ")")),
      settingsFilePath(SettingsFile::path(programDir)),
      settingsAreTheUsers(!SettingsFile::isPortable(programDir))
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    initStatusBar();
    m_log = new LogView(ui->textEdit, [this](QMenu *menu) { fillLogMenu(menu); });
    m_notices = std::make_unique<AwayNotices>(this);

    workThread = new sendThread;
    workThread->limitUnhandledReceiveEvents(MaxUnhandledReceiveEvents);
    workThread->moveToThread(workThread);
    connect(this, &MainWindow::handleCmd, workThread, &sendThread::handleCmd);
    connect(workThread, &sendThread::onSocketStateChange, this, &MainWindow::onSocketStateChange);
    connect(workThread, &sendThread::onClientErrorOccurs, this, &MainWindow::onClientErrorOccurs);
    connect(workThread, &sendThread::receiveEvent, this, &MainWindow::getRecState);
    connect(workThread, &sendThread::sendEvent, this, &MainWindow::getTransState);
    workThread->start(QThread::InheritPriority);
    createSession();
    m_transferList = new TransferListWindow(
        m_session, [this]() -> Desktop & { return m_notices->desktop(); }, this);
    connect(ui->act_transferList, &QAction::triggered, m_transferList, &TransferListWindow::open);
    connect(ui->act_settings, &QAction::triggered, this, &MainWindow::openSettings);
    ui->fileTransmitBtn->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    m_appearance = new Appearance(this);

    fillLocalIpList();
    loadSettings();

    QFont windowFont = font();
    windowFont.setPointSize(11);
    setFont(windowFont);

    connect(&msgTimer, &QTimer::timeout, &msgTimer, [this] { clearMessages(); });
    m_session->setBufferSize(ui->spinBox_bufferSize->value());
    // Whatever the file held: without a page to select, the window would
    // keep the form's title, "MainWindow".
    selectPage(ClientPage);
    on_act_connect_triggered();

    setAcceptDrops(true);
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

void MainWindow::showLookForThisRun(const QString &appearance)
{
    m_appearance->apply(Appearance::lookOf(appearance));
}

void MainWindow::setDesktop(std::unique_ptr<Desktop> desktop)
{
    m_notices->setDesktop(std::move(desktop));
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

// Deliberately not the form's default address, so one can tell which of the
// two put an address there.
void MainWindow::loadSettings()
{
    const QString defaultAddress = utf8(Defaults::ControllerAddress);
    // A missing file reads as all unset.
    const SettingsFile::Values stored = SettingsFile::read(settingsFilePath);
    m_transferList->restore(stored);
    m_language = stored.language;
    m_look = stored.appearance;
    m_appearance->apply(Appearance::lookOf(m_look));
    applySendSettings(stored.sendPace.value_or(SendPace()), stored.fileGap.value_or(0));
    m_existingFiles = stored.existingFiles.value_or(ExistingFiles::Overwrite);
    m_session->setExistingFiles(m_existingFiles);
    m_session->setRecentAddresses(stored.recentAddresses.value_or(QStringList()));
    recentAddresses = new RecentAddressCompleter(ui->serverAddressLineEdit, m_session);
    if (!QFileInfo::exists(settingsFilePath)) {
        selectPage(ServerPage);
        ui->dirShowLineEdit->setText(SettingsFile::defaultReceiveFolder(settingsAreTheUsers));
        ui->serverAddressLineEdit->setText(defaultAddress);
        return;
    }
    ui->dirShowLineEdit->setText(
        stored.saveFilePath ? SettingsFile::receiveFolder(*stored.saveFilePath, settingsAreTheUsers)
                            : SettingsFile::defaultReceiveFolder(settingsAreTheUsers));
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
    values.recentAddresses = m_session->recentAddresses();
    values.autoReconnect = ui->act_autoReconnect->isChecked();
    m_transferList->store(values);
    values.language = m_language.value_or(QLatin1String(Language::Chinese));
    values.appearance = m_look.value_or(Appearance::wordOf(Appearance::Look::Light));
    values.sendPace = m_sendPace;
    values.fileGap = m_fileGapMs;
    values.existingFiles = m_existingFiles;
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

// The session decides; the window shows. handleCmd stays the one command
// signal the worker receives.
void MainWindow::createSession()
{
    m_session = new ClientSession(workThread, TransferHistory::pathBeside(settingsFilePath), this);
    connect(m_session, &ClientSession::command, this, &MainWindow::handleCmd);
    connect(m_session, &ClientSession::logLine, m_log, &LogView::append);
    connect(m_session, &ClientSession::stateChanged, this, &MainWindow::showState);
    connect(m_session, &ClientSession::errorShown, this, &MainWindow::showError);
    connect(m_session, &ClientSession::connectActionsChanged, this,
            &MainWindow::showConnectActions);
    connect(m_session, &ClientSession::transferControlsChanged, this,
            &MainWindow::showTransferControls);
    connect(m_session, &ClientSession::progressShown, this, &MainWindow::showProgress);
    connect(m_session, &ClientSession::progressMoved, this,
            [this](ClientSession::Side side, int percent) {
                (side == ClientSession::Side::Send ? sendProgressBar : recProgressBar)
                    ->setValue(percent);
            });
    connect(m_session, &ClientSession::rateChanged, this,
            [this](ClientSession::Side side, const QString &text) {
                (side == ClientSession::Side::Send ? sendRateLabel : recRateLabel)->showRate(text);
            });
    connect(m_session, &ClientSession::queuePlaceChanged, this, &MainWindow::showQueuePlace);
    connect(m_session, &ClientSession::receiveFolderFollows, ui->dirShowLineEdit,
            &QLineEdit::setText);
    connect(m_session, &ClientSession::notice, m_notices.get(), &AwayNotices::post);
}

void MainWindow::onSocketStateChange(QAbstractSocket::SocketState state)
{
    m_session->socketStateChanged(state);
}

void MainWindow::showState(const ClientSession::State &state)
{
    clientStateLabel->setText(state.text);
    if (state.colour)
        clientStateLabel->setPalette(statusPalette(*state.colour));
}

void MainWindow::onClientErrorOccurs(QTcpSocket *)
{
    m_session->clientErrorOccurred();
}

void MainWindow::showError(const QString &text)
{
    clientMsgLabel->setText(text);
    clientMsgLabel->setPalette(statusPalette(Qt::red));
    msgTimer.start(ClientSession::MessageDisplayMs);
}

void MainWindow::showConnectActions()
{
    ui->act_connect->setEnabled(m_session->connectOffered());
    ui->act_disconnect->setEnabled(m_session->disconnectOffered());
}

void MainWindow::on_act_connect_triggered()
{
    m_session->connectTo(ui->serverAddressLineEdit->text());
}

void MainWindow::on_act_disconnect_triggered()
{
    m_session->disconnectFromController();
}

void MainWindow::on_act_autoReconnect_toggled(bool checked)
{
    m_session->setAutoReconnect(checked);
}

void MainWindow::on_stackedWidget_currentChanged(int arg1)
{
    if (arg1 != ServerPage && arg1 != ClientPage)
        return;
    const bool client = arg1 == ClientPage;
    ui->act_connect->setVisible(client);
    ui->act_disconnect->setVisible(client);
    ui->act_autoReconnect->setVisible(client);
    ui->act_transferList->setVisible(client);
    clientStateLabel->setVisible(client);
    clientMsgLabel->setVisible(client);
    serverStateLabel->setVisible(!client);
    serverMsgLabel->setVisible(!client);
    setWindowTitle((client ? tr("KVR文件网络传输助手") : tr("服务端")) + versionTag);
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

    const auto makeBar = [this](const char *name, const QString &format) {
        auto *bar = new QProgressBar(this);
        bar->setObjectName(QLatin1String(name));
        bar->setFormat(format);
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
    sendProgressBar = makeBar("sendProgressBar", tr("发送:%p%"));
    sendRateLabel = makeRateLabel("sendRateLabel");
    recProgressBar = makeBar("recProgressBar", tr("接收:%p%"));
    recRateLabel = makeRateLabel("recRateLabel");
}

void MainWindow::showTransferControls(ClientSession::Side side, bool enabled)
{
    if (side == ClientSession::Side::Send) {
        ui->testBtn->setEnabled(enabled);
        ui->fileTransmitBtn->setEnabled(enabled);
    } else {
        ui->dirShowLineEdit->setEnabled(enabled);
    }
    ui->spinBox_bufferSize->setEnabled(enabled);
}

void MainWindow::showProgress(ClientSession::Side side, bool shown)
{
    const bool send = side == ClientSession::Side::Send;
    (send ? sendProgressBar : recProgressBar)->setVisible(shown);
    (send ? sendRateLabel : recRateLabel)->setVisible(shown);
}

void MainWindow::getTransState(const SendEvent &event)
{
    m_session->sendEventArrived(event);
}

void MainWindow::getRecState(const ReceiveEvent &event)
{
    m_session->receiveEventArrived(event);
}

void MainWindow::on_testBtn_clicked()
{
    m_session->greet();
}

void MainWindow::on_clearTextBtn_clicked()
{
    ui->textEdit->clear();
}

void MainWindow::on_stopSendBtn_clicked()
{
    m_session->stop();
}

void MainWindow::on_spinBox_bufferSize_valueChanged(int arg1)
{
    m_session->setBufferSize(arg1);
}

// ---- File choice and drag-and-drop ----

void MainWindow::on_chooseDirBtn_clicked()
{
    const QString dir = QFileDialog::getExistingDirectory(
        this, tr("选择文件夹"), QCoreApplication::applicationDirPath(), QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        ui->dirShowLineEdit->setText(dir);
}

void MainWindow::on_dirShowLineEdit_textChanged(const QString &arg1)
{
    m_session->setReceiveFolder(SettingsFile::receiveFolder(arg1, settingsAreTheUsers));
}

// Sends the files that wait, or else the files chosen in the dialog.
void MainWindow::on_fileTransmitBtn_clicked()
{
    if (!m_session->readyToSend())
        return;
    QStringList chosen;
    if (!m_session->hasWaiting())
        chosen = QFileDialog::getOpenFileNames(this, tr("选择文件"), ui->dirShowLineEdit->text(),
                                               QString());
    m_session->send(chosen);
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
    if (data->hasUrls() && !data->urls().isEmpty() && !m_session->queueDropped(data->urls()))
        on_fileTransmitBtn_clicked();
}

void MainWindow::showQueuePlace(const QString &place, bool shown)
{
    sendQueueLabel->setText(place);
    sendQueueLabel->setVisible(shown);
}

// The places the log's lines speak of.
void MainWindow::fillLogMenu(QMenu *menu)
{
    menu->addAction(ui->act_transferList);
    menu->addAction(tr("打开接收文件夹"), this, [this] {
        m_notices->desktop().open(QUrl::fromLocalFile(m_session->receiveFolder()));
    });
    QAction *history = menu->addAction(tr("打开传输记录"), this, [this] {
        m_notices->desktop().open(QUrl::fromLocalFile(m_session->historyPath()));
    });
    history->setEnabled(QFileInfo::exists(m_session->historyPath()));
}

// The dialog's folder and buffer size go through the form's own fields, so
// that they behave as the fields always did.
void MainWindow::openSettings()
{
    SettingsDialog::Choices current;
    current.receiveFolder = ui->dirShowLineEdit->text();
    current.bufferSize = ui->spinBox_bufferSize->value();
    current.language = m_language.value_or(QLatin1String(Language::Chinese));
    current.appearance = Appearance::wordOf(m_appearance->look());
    current.sendPace = m_sendPace;
    current.fileGapMs = m_fileGapMs;
    current.existingFiles = m_existingFiles;
    SettingsDialog dialog(current, Language::current(), this);
    dialog.setReceiveFolderEnabled(ui->dirShowLineEdit->isEnabled());
    dialog.setBufferSizeEnabled(ui->spinBox_bufferSize->isEnabled());
    if (dialog.exec() != QDialog::Accepted)
        return;
    const SettingsDialog::Choices chosen = dialog.choices();
    if (chosen.receiveFolder != QDir::fromNativeSeparators(current.receiveFolder))
        ui->dirShowLineEdit->setText(chosen.receiveFolder);
    ui->spinBox_bufferSize->setValue(chosen.bufferSize);
    m_language = chosen.language;
    m_look = chosen.appearance;
    m_appearance->apply(Appearance::lookOf(m_look));
    applySendSettings(chosen.sendPace, chosen.fileGapMs);
    m_existingFiles = chosen.existingFiles;
    m_session->setExistingFiles(m_existingFiles);
    // Kept now: a change of language waits for the next start.
    saveSettings();
}

void MainWindow::applySendSettings(const SendPace &pace, int fileGapMs)
{
    m_sendPace = pace;
    m_fileGapMs = fileGapMs;
    m_session->setSendPace(pace);
    m_session->setFileGap(fileGapMs);
}
