#include "client/clientsession.h"

#include "client/ratemeter.h"
#include "client/reconnectschedule.h"
#include "client/transferlistmodel.h"
#include "history/transferoutcome.h"
#include "net/sendthread.h"
#include "net/workercommands.h"
#include "settings/receiverservices.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/filereceiver.h"
#include "transfer/protocol.h"

#include <QAbstractProxyModel>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr const char *DisconnectedLine =
    QT_TRANSLATE_NOOP("ClientSession", "已和KVR控制器断开连接\n");
constexpr const char *RetriesStartedLine = QT_TRANSLATE_NOOP("ClientSession", "开始自动重连");
constexpr const char *RetriesStoppedLine = QT_TRANSLATE_NOOP("ClientSession", "已停止自动重连");
constexpr const char *ReceptionStoppedLine =
    QT_TRANSLATE_NOOP("ClientSession", "已停止接收，未完成的文件已删除");

// "a.bin, b.bin": the names as they are sent.
QString fileNames(const QStringList &paths)
{
    QStringList names;
    for (const QString &path : paths)
        names << Protocol::printable(Protocol::fileNameOf(path));
    return names.join(QLatin1String(", "));
}

// "a.bin, b.bin 等 12 个": a line stays readable however many there are.
QString someNames(const QStringList &names)
{
    constexpr int Shown = 10;
    QStringList shown;
    for (const QString &name : names.mid(0, Shown))
        shown << Protocol::printable(name);
    const QString list = shown.join(QLatin1String(", "));
    return names.size() > Shown ? QCoreApplication::translate("ClientSession", "%1 等 %2 个")
                                      .arg(list)
                                      .arg(names.size())
                                : list;
}

// Why a failed transfer cannot be sent again from here; empty if it can.
QString whyNotRetried(const TransferRecord &record)
{
    if (record.direction == TransferRecord::Direction::Receive)
        return QCoreApplication::translate("ClientSession",
                                           "接收失败的文件无法从本机重试, 请让控制器重新发送");
    // history.csv keeps no path.
    if (record.path.isEmpty())
        return QCoreApplication::translate("ClientSession", "无法重试, 传输记录未保存文件的位置");
    const QFileInfo info(record.path);
    if (!info.exists())
        return QCoreApplication::translate("ClientSession", "无法重试, 文件已不存在");
    QFile file(record.path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return QCoreApplication::translate("ClientSession", "无法重试, 文件无法读取");
    return QString();
}

} // namespace

ClientSession::ClientSession(sendThread *worker, const QString &historyPath, QObject *parent)
    : QObject(parent), m_worker(worker), m_reconnect(new ReconnectSchedule(this)),
      m_sendRate(new RateMeter(this)), m_receiveRate(new RateMeter(this)),
      m_transferList(new TransferListModel(this)), m_fileGap(new QTimer(this)),
      m_history(historyPath)
{
    m_fileGap->setSingleShot(true);
    m_localReceivers = &ReceiverServices::runningControllers;
    connect(m_fileGap, &QTimer::timeout, this, &ClientSession::nextAfterGap);
    qRegisterMetaType<ClientSession::State>();
    qRegisterMetaType<NoticeThrottle::Notice>();
    qRegisterMetaType<ClientSession::Side>();
    connect(m_reconnect, &ReconnectSchedule::attemptDue, this, &ClientSession::connectToController);
    connect(m_sendRate, &RateMeter::textChanged, this,
            [this](const QString &text) { emit rateChanged(Side::Send, text); });
    connect(m_receiveRate, &RateMeter::textChanged, this,
            [this](const QString &text) { emit rateChanged(Side::Receive, text); });
    connect(m_transferList, &TransferListModel::historyLoaded, this,
            [this](int, int skipped, const QString &error) { historyLoaded(skipped, error); });
    // Lines from the run's start on come to the list as the transfers end.
    m_transferList->loadHistory(historyPath, QDateTime::currentDateTime());
}

ClientSession::~ClientSession() = default;

// ---- The connection ----

void ClientSession::connectTo(const QString &address)
{
    m_connectingTo = address.trimmed();
    warnOfLocalReceiver();
    connectToController();
    offerConnect(false, true);
}

void ClientSession::setLocalReceivers(std::function<QStringList()> controllers)
{
    m_localReceivers = std::move(controllers);
}

// The controller serves one PC's connections as it sees fit: it may refuse
// the window, or send its files to the service.
void ClientSession::warnOfLocalReceiver()
{
    const QStringList held = m_localReceivers();
    const bool heldHere = std::any_of(held.cbegin(), held.cend(), [this](const QString &host) {
        return host.compare(m_connectingTo, Qt::CaseInsensitive) == 0;
    });
    if (heldHere)
        log(tr("本机的文件接收服务也在连接 %1: 控制器发来的文件可能进入服务的目录, "
               "连接也可能被服务取走; 要在本窗口接收, 请先停止该服务")
                .arg(m_connectingTo));
}

// Every attempt of a run goes to the address the user connected to,
// whatever the field holds by then.
void ClientSession::connectToController()
{
    m_worker->controllerAddress.set(m_connectingTo);
    m_reconnect->connectStarted();
    emit command(CmdConnect);
}

void ClientSession::disconnectFromController()
{
    endConnection(CmdDisconnect);
}

// The user ends the connection, by a command that closes it.
void ClientSession::endConnection(int cmd)
{
    const bool wasRetrying = m_reconnect->isRunning();
    m_reconnect->stop();
    emit command(cmd);
    if (wasRetrying) {
        // Nothing may be connected to report the end: show it here.
        log(tr(RetriesStoppedLine));
        showDisconnected();
    }
    offerConnect(true, false);
}

void ClientSession::setAutoReconnect(bool enabled)
{
    const bool wasRetrying = m_reconnect->isRunning();
    m_reconnect->setEnabled(enabled);
    if (wasRetrying && !m_reconnect->isRunning()) {
        showRetriesStopped();
    } else if (!wasRetrying && m_reconnect->isRunning()) {
        log(tr(RetriesStartedLine));
        showRetrying();
    }
}

void ClientSession::setRecentAddresses(const QStringList &stored)
{
    m_recentAddresses = RecentAddresses(stored);
    emit recentAddressesChanged();
}

void ClientSession::forgetAddress(const QString &address)
{
    m_recentAddresses.forget(address);
    emit recentAddressesChanged();
}

// While a run of retries is on, its connects show as the run and log
// nothing: the log tells the run's start, not each attempt that fails.
void ClientSession::socketStateChanged(QAbstractSocket::SocketState state)
{
    const bool wasRetrying = m_reconnect->isRunning();
    if (state == QAbstractSocket::UnconnectedState)
        m_reconnect->linkLost();
    else if (state == QAbstractSocket::ConnectedState)
        m_reconnect->connected();
    const bool notConnected = state == QAbstractSocket::UnconnectedState ||
                              state == QAbstractSocket::HostLookupState ||
                              state == QAbstractSocket::ConnectingState;
    if (m_reconnect->isRunning() && notConnected) {
        if (!wasRetrying) {
            log(tr(DisconnectedLine));
            log(tr(RetriesStartedLine));
        }
        showRetrying();
        return;
    }
    switch (state) {
    case QAbstractSocket::UnconnectedState:
        showDisconnected();
        log(tr(DisconnectedLine));
        break;
    case QAbstractSocket::HostLookupState:
        showState(tr("正在查找主机"));
        break;
    case QAbstractSocket::ConnectingState:
        showState(tr("正在连接..."), Qt::yellow);
        break;
    case QAbstractSocket::ConnectedState:
        showState(tr("已建立连接"), Qt::green);
        log(tr("已和KVR控制器建立连接\n"));
        offerConnect(false, m_disconnectOffered);
        m_recentAddresses.remember(m_connectingTo);
        emit recentAddressesChanged();
        break;
    case QAbstractSocket::BoundState:
        showState(tr("已绑定到地址和端口"));
        break;
    case QAbstractSocket::ListeningState:
        showState(tr("正在监听中"));
        break;
    case QAbstractSocket::ClosingState:
        showState(tr("即将关闭"));
        break;
    }
}

// The text comes from the worker, which read it in its own thread: the
// socket may be busy there, or already replaced, by the time we get here.
void ClientSession::clientErrorOccurred()
{
    emit errorShown(m_worker->takeClientErrorText());
}

void ClientSession::offerConnect(bool connect, bool disconnect)
{
    m_connectOffered = connect;
    m_disconnectOffered = disconnect;
    emit connectActionsChanged();
}

void ClientSession::showState(const QString &text, std::optional<Qt::GlobalColor> colour)
{
    emit stateChanged({text, colour});
}

// A run is a connect that is not over yet: only "断开连接" is offered.
void ClientSession::showRetrying()
{
    showState(tr("正在重连 (第%1次)…").arg(m_reconnect->attempt()), Qt::red);
    offerConnect(false, true);
}

void ClientSession::showDisconnected()
{
    showState(tr("已断开连接"), Qt::red);
    offerConnect(true, false);
}

// A connect of a run that was under way goes on and reports how it ended.
void ClientSession::showRetriesStopped()
{
    log(tr(RetriesStoppedLine));
    if (m_worker->clientState() == QAbstractSocket::UnconnectedState)
        showDisconnected();
    else
        showState(tr("正在连接..."), Qt::yellow);
}

// ---- Transfers ----

void ClientSession::greet()
{
    if (m_worker->clientState() == QAbstractSocket::ConnectedState)
        emit command(CmdTest);
    else
        log(tr("未建立连接，无法发送!"));
}

void ClientSession::setBufferSize(int bytes)
{
    m_worker->bufferSize = bytes;
}

void ClientSession::setSendPace(const SendPace &pace)
{
    m_sendPace = pace;
}

void ClientSession::setFileGap(int ms)
{
    m_fileGapMs = qBound(0, ms, FileGap::MaxMs);
}

void ClientSession::setReceiveFolder(const QString &folder)
{
    saveFilePath.set(folder);
}

void ClientSession::setExistingFiles(ExistingFiles rule)
{
    existingFilesRule = rule;
}

ExistingFiles ClientSession::existingFiles() const
{
    return existingFilesRule;
}

QString ClientSession::receiveFolder() const
{
    return FileReceiver::directoryFor(saveFilePath.get());
}

// The disconnect action follows the connection as the session knows it: it
// is offered exactly while "建立连接" is not, whatever link a transfer had.
void ClientSession::setTransferControlsEnabled(bool enabled, Side side)
{
    if (m_worker->sendLink == LinkClient || m_worker->recvLink == LinkClient)
        offerConnect(m_connectOffered, enabled && !m_connectOffered);
    if (enabled)
        (side == Side::Send ? m_worker->sendLink : m_worker->recvLink) = LinkNone;
    emit transferControlsChanged(side, enabled);
}

void ClientSession::sendEventArrived(const SendEvent &event)
{
    if (!logSendEvent(event))
        return;
    listProgress(event);
    if (endsSend(event.code)) {
        endProgress(Side::Send);
        setTransferControlsEnabled(true, Side::Send);
        queuedFileEnded(event);
    }
}

// False for a code it does not know, which changes nothing.
bool ClientSession::logSendEvent(const SendEvent &event)
{
    switch (event.code) {
    case TransStarted:
        log(tr("开始传送中..."));
        startProgress(Side::Send, event.elapsedMs, event.bytesRead);
        setTransferControlsEnabled(false, Side::Send);
        break;
    case TransDone:
        log(tr("传送完成!"));
        log(tr("发送文件大小:") + QString::number(event.bytesRead));
        log(tr("总发送字节大小:") + QString::number(event.bytesWritten));
        logDuration(QT_TR_NOOP("发送耗时:"), event.elapsedMs);
        break;
    case TransProgress:
        showPercentage(Side::Send, event.bytesRead, event.fileSize);
        m_sendRate->progress(event.elapsedMs, event.bytesRead, event.fileSize);
        break;
    case TransAborted:
        log(tr("传送已被强制中断!\n"));
        break;
    case TransDisconnected:
        log(tr("连接已断开,传送中断!"));
        break;
    case TransOpenFailed:
        log(tr("打开文件失败，传送中断\n"));
        break;
    case TransReadFailed:
        log(tr("读取文件失败，传送中断\n"));
        break;
    case TransChanged:
        log(tr("文件在发送中被修改,传送失败!\n"));
        break;
    default:
        return false;
    }
    return true;
}

void ClientSession::receiveEventArrived(const ReceiveEvent &event)
{
    m_worker->receiveEventHandled();
    if (!logReceiveEvent(event))
        return;
    listProgress(event);
    switch (event.code) {
    case RecStarted:
        m_receiving = true;
        startProgress(Side::Receive, event.elapsedMs, event.fileBytes);
        setTransferControlsEnabled(false, Side::Receive);
        showPercentage(Side::Receive, event.fileBytes, event.fileSize);
        break;
    case RecProgress:
        showPercentage(Side::Receive, event.fileBytes, event.fileSize);
        m_receiveRate->progress(event.elapsedMs, event.fileBytes, event.fileSize);
        break;
    case RecDone:
    case RecTimeout:
    case RecMd5Mismatch:
    case RecWriteFailed:
        m_receiving = false;
        endProgress(Side::Receive);
        setTransferControlsEnabled(true, Side::Receive);
        break;
    default:
        break;
    }
    if (endsReception(event.code))
        receptionEnded(event);
}

bool ClientSession::logReceiveEvent(const ReceiveEvent &event)
{
    switch (event.code) {
    case RecDone:
        log(tr("接收完成!"));
        log(tr("文件接收大小:") + QString::number(event.fileBytes));
        log(tr("总接收Byte大小:") + QString::number(event.totalBytes));
        logDuration(QT_TR_NOOP("接收耗时:"), event.elapsedMs);
        // Nothing vouched for a file that came without a digest but the size.
        if (event.sizeMismatch)
            log(tr("文件大小不符: 收到 %1, 声明 %2").arg(event.fileBytes).arg(event.fileSize));
        logExisting(event);
        break;
    case RecStarted:
        log(tr("\n开始接收..."));
        break;
    case RecProgress:
        break;
    case RecCreateFailed:
        log(tr("创建文件失败,接收失败!\n"));
        if (event.programFile)
            log(tr("拒绝接收 %1: 不能覆盖本程序自己的文件")
                    .arg(Protocol::printable(event.fileName)));
        break;
    case RecTimeout:
        log(event.cut == ReceptionCut::Stopped ? tr(ReceptionStoppedLine)
                                               : tr("接收超时，已强制中断!\n"));
        break;
    case RecRawData:
        log(QStringLiteral("[in] ") + event.rawText);
        break;
    case RecMd5Mismatch:
        log(tr("文件MD5校验失败,接收失败!\n"));
        break;
    case RecWriteFailed:
        log(tr("写入文件失败,接收中断!\n"));
        if (event.writeFailure == WriteFailure::PastAnnouncedSize)
            log(tr("已收到 %1 字节, 远超声明的 %2, 仍无结束标记: 已删除部分文件")
                    .arg(event.fileBytes)
                    .arg(event.fileSize));
        else if (event.writeFailure == WriteFailure::FreeSpace)
            log(tr("磁盘剩余空间不足, 为保留磁盘最后的空间已停止接收: 已删除部分文件"));
        if (!event.savedAs.isEmpty())
            log(tr("已校验的文件保留在: ") + QDir::toNativeSeparators(event.savedAs));
        break;
    default:
        return false;
    }
    return true;
}

// What the file met under its name, and where it went for that.
void ClientSession::logExisting(const ReceiveEvent &event)
{
    const QString path = QDir::toNativeSeparators(event.filePath);
    switch (event.existing) {
    case ExistingFile::Identical:
        log(tr("与已有文件相同 (MD5 一致), 未重复保存: %1").arg(path));
        return;
    case ExistingFile::KeptBoth:
        log(tr("已保留同名的原文件, 新文件另存为: %1").arg(path));
        return;
    case ExistingFile::KeptBothUnverified:
        log(tr("文件未带 MD5, 无法判断是否与原文件相同: 两者都保留, 新文件另存为: %1").arg(path));
        return;
    case ExistingFile::None:
    case ExistingFile::Replaced:
        break;
    }
    if (!event.savedAs.isEmpty())
        log(tr("文件名已被占用,已另存为: ") + QDir::toNativeSeparators(event.savedAs));
}

void ClientSession::log(const QString &line)
{
    emit logLine(line);
}

void ClientSession::logDuration(const char *label, qint64 elapsedMs)
{
    log(tr(label) + QString::number(elapsedMs * 0.001, 'f', 3) + QStringLiteral("s\n"));
}

RateMeter *ClientSession::rateMeter(Side side) const
{
    return side == Side::Send ? m_sendRate : m_receiveRate;
}

void ClientSession::startProgress(Side side, qint64 elapsedMs, quint64 bytes)
{
    emit progressShown(side, true);
    rateMeter(side)->start(elapsedMs, bytes);
}

// A zero total, or a share beyond 100% (more data than announced), leaves
// the bar as it is.
void ClientSession::showPercentage(Side side, quint64 done, quint64 total)
{
    if (total == 0)
        return;
    const double percent = double(done) / double(total) * 100.0;
    if (percent <= 100.0)
        emit progressMoved(side, int(percent));
}

void ClientSession::endProgress(Side side)
{
    rateMeter(side)->stop();
    emit progressShown(side, false);
}

// ---- The send queue ----

bool ClientSession::readyToSend()
{
    if (m_sendQueue.running())
        return false;
    if (m_worker->clientState() == QAbstractSocket::ConnectedState)
        return true;
    log(tr("未建立连接，传送失败!"));
    return false;
}

void ClientSession::send(const QStringList &paths)
{
    m_sendQueue.add(paths);
    showWaiting();
    if (m_sendQueue.hasWaiting())
        sendNextQueued();
}

// While a send runs the files join its run; otherwise they start one, or
// wait for a connection.
bool ClientSession::queueDropped(const QList<QUrl> &urls)
{
    QStringList paths;
    for (const QUrl &url : urls) {
        qDebug() << "用户拖放访问目录:" << url.toLocalFile();
        if (!url.toLocalFile().isEmpty())
            paths << url.toLocalFile();
    }
    if (!paths.isEmpty())
        queue(paths);
    return !paths.isEmpty();
}

void ClientSession::queue(const QStringList &paths)
{
    const bool running = m_sendQueue.running();
    m_sendQueue.add(paths);
    showWaiting();
    if (running && m_sendQueue.stopping()) {
        log(tr("已加入发送队列: %1 (停止后待发送)").arg(fileNames(paths)));
    } else if (running) {
        log(tr("已加入发送队列: %1 (共%2个)")
                .arg(fileNames(paths))
                .arg(m_sendQueue.current().total));
        showQueuePlace();
    } else if (readyToSend()) {
        sendNextQueued();
    }
}

// A reception cannot stop mid-file and go on: the connection closes under it.
void ClientSession::stop()
{
    m_worker->stopRequested = true;
    m_fileGap->stop();
    const QStringList unsent = m_sendQueue.stop();
    showWaiting();
    if (!unsent.isEmpty())
        log(tr("以下文件未发送: ") + fileNames(unsent));
    showQueuePlace();
    if (m_receiving && !m_receptionStopped) {
        m_receptionStopped = true;
        endConnection(CmdStopReception);
    }
}

// One CmdSendFile, for the oldest waiting file. Locked from here, not from
// TransStarted: hashing a large file takes seconds, and every end code of
// the send unlocks again.
void ClientSession::sendNextQueued()
{
    const SendQueue::Place place = m_sendQueue.handOver();
    if (place.number == 1)
        logPace();
    if (place.total > 1)
        log(tr("[%1/%2] 开始传送 %3")
                .arg(place.number)
                .arg(place.total)
                .arg(fileNames({place.path})));
    showQueuePlace();
    showWaiting();
    m_transferList->transferStarted(begun(TransferRecord::Direction::Send,
                                          Protocol::fileNameOf(place.path),
                                          QFileInfo(place.path).absoluteFilePath()),
                                    quint64(std::max<qint64>(0, QFileInfo(place.path).size())));
    m_worker->filePath.set(place.path);
    m_worker->sendPace.set(m_sendPace);
    qDebug() << "mulu_xuanzhe=" << place.path;
    const QString folder = QFileInfo(place.path).absolutePath();
    qDebug() << "最后用户选择的文件目录=" << folder;
    emit receiveFolderFollows(folder);
    // A stop from now on is meant for this file, one from before is not.
    m_worker->stopRequested = false;
    m_worker->sendLink = LinkClient;
    setTransferControlsEnabled(false, Side::Send);
    emit command(CmdSendFile);
}

// A file that the queue handed over ended: its line of history, then the
// next file or the end of the run.
void ClientSession::queuedFileEnded(const SendEvent &event)
{
    if (!m_sendQueue.sending())
        return;
    const SendQueue::Place place = m_sendQueue.current();
    recordEnded(TransferRecord::ofSend(event, place.path, m_worker->controllerAddress.get(),
                                       Protocol::ControllerPort));
    const SendQueue::After after = m_sendQueue.fileEnded(event.code);
    if (after == SendQueue::After::Next && m_fileGapMs > 0) {
        m_sendQueue.holdNext();
        m_fileGap->start(m_fileGapMs);
    } else if (after == SendQueue::After::Next) {
        sendNextQueued();
    } else
        queueRunEnded(after, place);
    showQueuePlace();
}

void ClientSession::nextAfterGap()
{
    if (m_sendQueue.holding())
        sendNextQueued();
}

// Once a run, for a pace other than the default: a user who finds a
// controller slow or a network full sees why.
void ClientSession::logPace()
{
    if (m_sendPace.mode == SendPace::Mode::Full)
        log(tr("发送速度: 全速"));
    else if (m_sendPace.mode == SendPace::Mode::Cap)
        log(tr("发送速度: 限速 %1 MB/s").arg(m_sendPace.capMBps));
}

void ClientSession::queueRunEnded(SendQueue::After after, const SendQueue::Place &last)
{
    const QString name = fileNames({last.path});
    if (after == SendQueue::After::Finished)
        emit notice({tr("发送完成"), name, last.total});
    // Files dropped after a stop wait as after a failure: the controller is
    // still inside the stopped file until it gives up on it.
    if (after != SendQueue::After::Next && m_sendQueue.hasWaiting())
        log(tr("以下文件等待发送,点击\"文件传输\"继续: ") + fileNames(m_sendQueue.waiting()));
    if (after == SendQueue::After::Failed)
        emit notice({tr("发送失败"), name});
}

void ClientSession::showQueuePlace()
{
    const SendQueue::Place place = m_sendQueue.current();
    const bool shown = m_sendQueue.running() && place.total > 1;
    emit queuePlaceChanged(QStringLiteral("%1/%2").arg(place.number).arg(place.total), shown);
}

// ---- History and notices ----

namespace {

// The engine says what cut a reception: the end of the connection took the
// file with it.
TransferOutcome::Cut cutOf(ReceptionCut cut)
{
    switch (cut) {
    case ReceptionCut::StreamEnded:
        return TransferOutcome::Cut::PeerClosed;
    case ReceptionCut::Stopped:
        return TransferOutcome::Cut::Interrupted;
    case ReceptionCut::Stall:
        break;
    }
    return TransferOutcome::Cut::Stall;
}

} // namespace

void ClientSession::receptionEnded(const ReceiveEvent &event)
{
    m_receptionStopped = false;
    const TransferOutcome::Cut cut = cutOf(event.cut);
    const TransferRecord record = TransferRecord::ofReception(
        event, cut, m_worker->controllerAddress.get(), Protocol::ControllerPort);
    recordEnded(record);
    emit notice(
        {record.done() ? tr("接收完成") : tr("接收失败"), Protocol::printable(record.fileName)});
}

void ClientSession::recordEnded(const TransferRecord &record)
{
    m_transferList->addRecord(record);
    const QString error = m_history.append(record);
    if (!error.isEmpty())
        log(tr("无法写入传输记录 %1: %2")
                .arg(QDir::toNativeSeparators(m_history.filePath()), error));
}

// ---- The transfer list ----

void ClientSession::showWaiting()
{
    m_transferList->setWaiting(m_sendQueue.waiting());
}

// A running transfer's row: what is known of it when it begins, the time
// in endTime until it ends.
TransferRecord ClientSession::begun(TransferRecord::Direction direction, const QString &fileName,
                                    const QString &path) const
{
    TransferRecord record;
    record.direction = direction;
    record.host = m_worker->controllerAddress.get();
    record.port = Protocol::ControllerPort;
    record.fileName = fileName;
    record.path = path;
    record.endTime = QDateTime::currentDateTime();
    return record;
}

// A send's row begins when its file is handed over, before the MD5 pass;
// it ends with its record.
void ClientSession::listProgress(const SendEvent &event)
{
    if (event.code == TransProgress)
        m_transferList->transferMoved(TransferRecord::Direction::Send, event.bytesRead,
                                      event.elapsedMs);
}

void ClientSession::listProgress(const ReceiveEvent &event)
{
    if (event.code == RecStarted)
        m_transferList->transferStarted(
            begun(TransferRecord::Direction::Receive, event.fileName, event.filePath),
            event.fileSize);
    else if (event.code == RecProgress)
        m_transferList->transferMoved(TransferRecord::Direction::Receive, event.fileBytes,
                                      event.elapsedMs);
}

// Told once: the history is read once a run.
void ClientSession::historyLoaded(int skipped, const QString &error)
{
    if (!error.isEmpty())
        log(tr("无法读取传输记录 ") + error);
    if (skipped > 0)
        log(tr("传输记录中有 %1 行无法读取, 已跳过").arg(skipped));
}

void ClientSession::retry(const QModelIndexList &rows)
{
    QList<int> failed;
    for (const QModelIndex &index : rows) {
        if (index.model() == m_transferList && !failed.contains(index.row()) &&
            m_transferList->tabOf(index.row()) == TransferListModel::Tab::Failed)
            failed << index.row();
    }
    // The list is newest first; the files go as they went before.
    std::sort(failed.begin(), failed.end(), std::greater<int>());
    QStringList reasons;
    QList<QStringList> refused;
    QStringList accepted;
    QModelIndexList leaving;
    for (const int row : failed) {
        const TransferRecord &record = m_transferList->recordAt(row);
        const QString why = whyNotRetried(record);
        if (why.isEmpty()) {
            if (!accepted.contains(record.path) && !inSendQueue(record.path))
                accepted << record.path;
            leaving << m_transferList->index(row, 0);
            continue;
        }
        if (!reasons.contains(why)) {
            reasons << why;
            refused.append(QStringList());
        }
        refused[reasons.indexOf(why)] << record.fileName;
    }
    for (int i = 0; i < reasons.size(); ++i)
        log(reasons.at(i) + QLatin1String(": ") + someNames(refused.at(i)));
    m_transferList->remove(leaving);
    requeue(accepted);
}

void ClientSession::retryAll()
{
    const QAbstractProxyModel *failed = m_transferList->tab(TransferListModel::Tab::Failed);
    QModelIndexList sends;
    for (int row = 0; row < failed->rowCount(); ++row) {
        const QModelIndex index = failed->mapToSource(failed->index(row, 0));
        if (m_transferList->recordAt(index.row()).direction == TransferRecord::Direction::Send)
            sends << index;
    }
    retry(sends);
}

// While a queue runs, files tried again join its end, as dropped files do.
void ClientSession::requeue(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    if (m_sendQueue.running()) {
        queue(paths);
        return;
    }
    m_sendQueue.addFirst(paths);
    showWaiting();
    if (readyToSend())
        sendNextQueued();
}

bool ClientSession::inSendQueue(const QString &path) const
{
    return m_sendQueue.waiting().contains(path) ||
           (m_sendQueue.sending() && m_sendQueue.current().path == path);
}
