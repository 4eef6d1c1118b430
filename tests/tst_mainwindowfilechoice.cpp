// Choosing what to send and where received files go: drops on the window,
// the send button with and without a dropped file, the two file dialogs,
// and the receive folder that follows the last file sent. The controller is
// a QTcpServer on 127.0.0.1:8080 that keeps what arrives.

#include "net/kvrcodes.h"
#include "net/sendthread.h"
#include "settings/defaults.h"
#include "transfer/sharedvalues.h"
#include "windowtest.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

using WindowTest::utf8;

constexpr int WaitMs = 10000;

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

// Contents that name their file, so each file is recognised in the stream.
QByteArray contentsOf(const QString &name, int repeats = 50)
{
    return QByteArray(name.toUtf8() + " 0123456789\n").repeated(repeats);
}

QUrl webAddress()
{
    return QUrl(QStringLiteral("http://example.com/report.txt"));
}

// Stands in for the controller: takes every connection and keeps all bytes.
class Controller : public QObject
{
public:
    bool listen()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &Controller::acceptPeers);
        return m_server.listen(QHostAddress::LocalHost, Defaults::ControllerPort);
    }
    QByteArray received;

private:
    void acceptPeers()
    {
        while (QTcpSocket *peer = m_server.nextPendingConnection())
            connect(peer, &QTcpSocket::readyRead, this,
                    [this, peer] { received += peer->readAll(); });
    }
    QTcpServer m_server;
};

// Answers every modal file dialog while it lives, so an unexpected dialog
// fails a test instead of blocking it: counts the dialogs, notes where the
// last one opened, then picks `choice`, or cancels when the choice is empty.
class FileDialogAnswer : public QObject
{
public:
    explicit FileDialogAnswer(const QString &choice = QString()) : m_choice(choice)
    {
        connect(&m_poll, &QTimer::timeout, this, &FileDialogAnswer::answer);
        m_poll.start(10);
    }
    int opened = 0;
    bool refused = false;
    QString caption;
    QString directory;

private:
    void answer()
    {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        ++opened;
        caption = dialog->windowTitle();
        directory = dialog->directory().absolutePath();
        if (m_choice.isEmpty()) {
            dialog->reject();
            return;
        }
        // The dialog leaves its name field alone while that has the focus.
        if (QWidget *focused = QApplication::focusWidget())
            focused->clearFocus();
        dialog->selectFile(m_choice);
        static_cast<QDialog *>(dialog)->accept();
        // Refused: fail the test rather than leave it waiting on the dialog.
        if (dialog->isVisible()) {
            refused = true;
            dialog->reject();
        }
    }
    QString m_choice;
    QTimer m_poll;
};

} // namespace

class TestMainWindowFileChoice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void dragEnter_data();
    void dragEnter();
    void dropSendsFirstPath_data();
    void dropSendsFirstPath();
    void dropWithoutConnectionWaits_data();
    void dropWithoutConnectionWaits();
    void dropDuringSendWaits_data();
    void dropDuringSendWaits();
    void fileDialog_data();
    void fileDialog();
    void directoryDialog_data();
    void directoryDialog();

private:
    QString path(const QString &relative) const { return m_root->filePath(relative); }
    QString writeFile(const QString &relative, const QByteArray &contents) const;
    void openWindow();
    bool connected() const;
    bool openConnectedWindow();
    bool connectWindow();
    int sendCommands() const;
    QString logText() const { return WindowTest::logText(*m_window); }
    template <typename T> T *widget(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QString receiveFolderShown() const { return widget<QLineEdit>("dirShowLineEdit")->text(); }
    void click(const char *button) const { widget<QPushButton>(button)->click(); }
    QStringList sendControlsEnabled() const
    {
        QStringList names;
        for (const char *name : {"testBtn", "fileTransmitBtn", "spinBox_bufferSize"}) {
            if (widget<QWidget>(name)->isEnabled())
                names << QLatin1String(name);
        }
        return names;
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<Controller> m_controller;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<QSignalSpy> m_commands;
};

void TestMainWindowFileChoice::initTestCase()
{
    // The dialogs must be the toolkit's own widgets, reachable as modal widgets.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

// Files to send live in outbox and other, away from the receive folder.
void TestMainWindowFileChoice::init()
{
    droppedFilePath = QLatin1String("");
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const char *folder : {"receive", "outbox", "other", "outbox/folder"})
        QVERIFY(QDir(m_root->path()).mkpath(QLatin1String(folder)));
    WindowTest::writeClientSettings(path(QStringLiteral("receive")));
    m_controller = std::make_unique<Controller>();
}

void TestMainWindowFileChoice::cleanup()
{
    m_commands.reset();
    m_window.reset();
    m_controller.reset();
    m_root.reset();
    droppedFilePath = QLatin1String("");
}

QString TestMainWindowFileChoice::writeFile(const QString &relative,
                                            const QByteArray &contents) const
{
    QFile file(path(relative));
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

void TestMainWindowFileChoice::openWindow()
{
    m_window = std::make_unique<MainWindow>();
    m_commands = std::make_unique<QSignalSpy>(m_window.get(), &MainWindow::handleCmd);
}

bool TestMainWindowFileChoice::connected() const
{
    return QTest::qWaitFor(
        [this] { return m_window->worker()->clientState() == QAbstractSocket::ConnectedState; },
        WaitMs);
}

bool TestMainWindowFileChoice::openConnectedWindow()
{
    if (!m_controller->listen())
        return false;
    openWindow();
    return connected();
}

// For a window whose first attempt was refused.
bool TestMainWindowFileChoice::connectWindow()
{
    auto *connectAction = widget<QAction>("act_connect");
    if (!m_controller->listen() ||
        !QTest::qWaitFor([connectAction] { return connectAction->isEnabled(); }, WaitMs))
        return false;
    connectAction->trigger();
    return connected();
}

int TestMainWindowFileChoice::sendCommands() const
{
    return int(
        std::count_if(m_commands->cbegin(), m_commands->cend(), [](const QList<QVariant> &args) {
            return args.at(0).toInt() == CmdSendFile;
        }));
}

void TestMainWindowFileChoice::dragEnter_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");

    const QUrl file = QUrl::fromLocalFile(QStringLiteral("/tmp/a.txt"));
    const QUrl another = QUrl::fromLocalFile(QStringLiteral("/tmp/b.txt"));
    QTest::newRow("one file") << QList<QUrl>{file} << QString() << true;
    QTest::newRow("several files") << QList<QUrl>{file, another} << QString() << true;
    QTest::newRow("web address") << QList<QUrl>{webAddress()} << QString() << true;
    QTest::newRow("plain text") << QList<QUrl>() << QStringLiteral("/tmp/a.txt") << false;
    QTest::newRow("nothing") << QList<QUrl>() << QString() << false;
}

void TestMainWindowFileChoice::dragEnter()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    openWindow();

    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isEmpty())
        data.setText(text);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    enter.setDropAction(Qt::IgnoreAction);
    QApplication::sendEvent(m_window.get(), &enter);

    QCOMPARE(enter.isAccepted(), accepted);
    QCOMPARE(enter.dropAction(), accepted ? enter.proposedAction() : Qt::IgnoreAction);
    QDragLeaveEvent leave;
    QApplication::sendEvent(m_window.get(), &leave);
}

void TestMainWindowFileChoice::dropSendsFirstPath_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QString>("endLine");
    QTest::addColumn<bool>("contentsSent");

    const QString done = utf8("传送完成!");
    QTest::newRow("one file") << QStringList{QStringLiteral("outbox/a.txt")} << done << true;
    QTest::newRow("several files")
        << QStringList{QStringLiteral("outbox/a.txt"), QStringLiteral("other/b.txt"),
                       QStringLiteral("other/c.txt")}
        << done << true;
    // The sender cannot open a folder; the folder's parent still becomes
    // the receive folder.
    QTest::newRow("folder") << QStringList{QStringLiteral("outbox/folder")}
                            << utf8("打开文件失败，传送中断\n") << false;
}

void TestMainWindowFileChoice::dropSendsFirstPath()
{
    QFETCH(QStringList, dropped);
    QFETCH(QString, endLine);
    QFETCH(bool, contentsSent);
    QList<QUrl> urls;
    for (const QString &name : dropped) {
        const QString full = path(name);
        if (!QFileInfo(full).isDir())
            writeFile(name, contentsOf(name));
        urls << QUrl::fromLocalFile(full);
    }
    QVERIFY(openConnectedWindow());

    FileDialogAnswer noDialog;
    QVERIFY(WindowTest::dropUrls(*m_window, urls));
    QCOMPARE(noDialog.opened, 0);

    const QString first = path(dropped.first());
    QCOMPARE(droppedFilePath, QString());
    QCOMPARE(sendCommands(), 1);
    QCOMPARE(m_window->worker()->filePath.get(), first);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("outbox")));
    QCOMPARE(saveFilePath.get(), path(QStringLiteral("outbox")));
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(endLine), WaitMs);
    if (contentsSent)
        QTRY_VERIFY(m_controller->received.contains(contentsOf(dropped.first())));
    else
        QCOMPARE(m_controller->received, QByteArray());
    for (const QString &other : dropped.mid(1))
        QVERIFY(!m_controller->received.contains(contentsOf(other)));
}

void TestMainWindowFileChoice::dropWithoutConnectionWaits_data()
{
    QTest::addColumn<bool>("localFile");

    QTest::newRow("local file") << true;
    QTest::newRow("web address") << false;
}

// A dropped file waits for the connection; a web address leaves nothing
// waiting, so the click after connecting asks for a file.
void TestMainWindowFileChoice::dropWithoutConnectionWaits()
{
    QFETCH(bool, localFile);
    const QString file = writeFile(QStringLiteral("outbox/a.txt"), contentsOf(QStringLiteral("a")));
    openWindow();
    // The window has seen its first attempt refused.
    QTRY_VERIFY_WITH_TIMEOUT(widget<QAction>("act_connect")->isEnabled(), WaitMs);

    QVERIFY(
        WindowTest::dropUrls(*m_window, {localFile ? QUrl::fromLocalFile(file) : webAddress()}));

    QVERIFY(logText().contains(utf8("未建立连接，传送失败!")));
    QCOMPARE(droppedFilePath, localFile ? file : QString());
    QCOMPARE(sendCommands(), 0);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("receive")));

    QVERIFY(connectWindow());
    FileDialogAnswer answer;
    click("fileTransmitBtn");

    QCOMPARE(answer.opened, localFile ? 0 : 1);
    QCOMPARE(sendCommands(), localFile ? 1 : 0);
    QCOMPARE(droppedFilePath, QString());
    if (localFile)
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->received.contains(contentsOf(QStringLiteral("a"))),
                                 WaitMs);
}

void TestMainWindowFileChoice::dropDuringSendWaits_data()
{
    QTest::addColumn<bool>("afterStartReported");

    QTest::newRow("before the start is reported") << false;
    QTest::newRow("after the start is reported") << true;
}

void TestMainWindowFileChoice::dropDuringSendWaits()
{
    QFETCH(bool, afterStartReported);
    // 720 kB in 100-byte blocks at least 1 ms apart take over seven
    // seconds: the first send still runs when the test stops it.
    const QString large =
        writeFile(QStringLiteral("outbox/large.bin"), contentsOf(QStringLiteral("large"), 40000));
    const QString small =
        writeFile(QStringLiteral("other/small.txt"), contentsOf(QStringLiteral("small")));
    QVERIFY(openConnectedWindow());
    widget<QSpinBox>("spinBox_bufferSize")->setValue(100);
    auto *sendBar = widget<QProgressBar>("sendProgressBar");

    FileDialogAnswer noDialog;
    QVERIFY(WindowTest::dropUrls(*m_window, {QUrl::fromLocalFile(large)}));
    // Locked from the drop on, through the hashing, before any report.
    QCOMPARE(sendControlsEnabled(), QStringList());
    if (afterStartReported)
        QTRY_VERIFY_WITH_TIMEOUT(!sendBar->isHidden(), WaitMs);
    QVERIFY(WindowTest::dropUrls(*m_window, {QUrl::fromLocalFile(small)}));
    QCOMPARE(logText().count(utf8("传送进行中,拖放的文件将在下次点击\"文件传输\"时发送")), 1);

    QCOMPARE(sendCommands(), 1);
    QCOMPARE(droppedFilePath, small);
    QCOMPARE(m_window->worker()->filePath.get(), large);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("outbox")));

    // A stop before the sender has started would be forgotten by it.
    QTRY_VERIFY_WITH_TIMEOUT(!sendBar->isHidden(), WaitMs);
    click("stopSendBtn");
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(utf8("传送已被强制中断!\n")), WaitMs);
    QCOMPARE(sendControlsEnabled().size(), 3);
    QCOMPARE(sendCommands(), 1);
    QCOMPARE(droppedFilePath, small);

    click("fileTransmitBtn");
    QCOMPARE(noDialog.opened, 0);
    QCOMPARE(sendCommands(), 2);
    QCOMPARE(droppedFilePath, QString());
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("other")));
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->received.contains(contentsOf(QStringLiteral("small"))),
                             WaitMs);
}

void TestMainWindowFileChoice::fileDialog_data()
{
    QTest::addColumn<bool>("byDrop");
    QTest::addColumn<QString>("choice");

    QTest::newRow("button, file chosen") << false << QStringLiteral("outbox/a.txt");
    QTest::newRow("button, cancelled") << false << QString();
    QTest::newRow("web address dropped, file chosen") << true << QStringLiteral("outbox/a.txt");
    QTest::newRow("web address dropped, cancelled") << true << QString();
}

// The file dialog opens in the receive folder; the chosen file's folder
// becomes the receive folder and is saved at exit.
void TestMainWindowFileChoice::fileDialog()
{
    QFETCH(bool, byDrop);
    QFETCH(QString, choice);
    const QString file = writeFile(QStringLiteral("outbox/a.txt"), contentsOf(QStringLiteral("a")));
    const QString chosen = choice.isEmpty() ? QString() : path(choice);
    const QString folder =
        path(choice.isEmpty() ? QStringLiteral("receive") : QStringLiteral("outbox"));
    QVERIFY(openConnectedWindow());

    FileDialogAnswer answer(chosen);
    if (byDrop)
        QVERIFY(WindowTest::dropUrls(*m_window, {webAddress(), QUrl::fromLocalFile(file)}));
    else
        click("fileTransmitBtn");

    QCOMPARE(answer.opened, 1);
    QVERIFY(!answer.refused);
    QCOMPARE(answer.caption, utf8("选择文件"));
    QCOMPARE(canonical(answer.directory), canonical(path(QStringLiteral("receive"))));
    QCOMPARE(sendCommands(), chosen.isEmpty() ? 0 : 1);
    QCOMPARE(droppedFilePath, QString());
    QCOMPARE(receiveFolderShown(), folder);
    QCOMPARE(saveFilePath.get(), folder);
    if (!chosen.isEmpty()) {
        QCOMPARE(m_window->worker()->filePath.get(), chosen);
        QTRY_VERIFY_WITH_TIMEOUT(m_controller->received.contains(contentsOf(QStringLiteral("a"))),
                                 WaitMs);
    }

    m_commands.reset();
    m_window.reset();
    QSettings settings(WindowTest::settingsFilePath(), QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("saveFilePath")).toString(), folder);
}

void TestMainWindowFileChoice::directoryDialog_data()
{
    QTest::addColumn<QString>("choice");

    QTest::newRow("chosen") << QStringLiteral("other");
    QTest::newRow("cancelled") << QString();
}

// The directory dialog always starts in the application's folder, wherever
// the receive folder is.
void TestMainWindowFileChoice::directoryDialog()
{
    QFETCH(QString, choice);
    const QString chosen = choice.isEmpty() ? QString() : path(choice);
    const QString expected = chosen.isEmpty() ? path(QStringLiteral("receive")) : chosen;
    openWindow();
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("receive")));

    FileDialogAnswer answer(chosen);
    click("chooseDirBtn");

    QCOMPARE(answer.opened, 1);
    QVERIFY(!answer.refused);
    QCOMPARE(answer.caption, utf8("选择文件夹"));
    QCOMPARE(canonical(answer.directory), canonical(QCoreApplication::applicationDirPath()));
    QCOMPARE(receiveFolderShown(), expected);
    QCOMPARE(saveFilePath.get(), expected);
}

QTEST_MAIN(TestMainWindowFileChoice)
#include "tst_mainwindowfilechoice.moc"
