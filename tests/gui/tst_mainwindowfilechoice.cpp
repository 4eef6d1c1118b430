// Choosing what to send and where received files go: drops on the window,
// the send button with and without files waiting, the two file dialogs,
// and the receive folder that follows the last file sent. The controller is
// a QTcpServer on 127.0.0.1:8080 that keeps what arrives.

#include "net/sendthread.h"
#include "net/workercommands.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/protocol.h"
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
        return m_server.listen(QHostAddress::LocalHost, Protocol::ControllerPort);
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

// Whether the pieces arrived whole, one after another, in this order.
bool inOrder(const QByteArray &received, const QList<QByteArray> &pieces)
{
    int from = 0;
    for (const QByteArray &piece : pieces) {
        from = received.indexOf(piece, from);
        if (from < 0)
            return false;
        from += piece.size();
    }
    return true;
}

// Answers every modal file dialog while it lives, so an unexpected dialog
// fails a test instead of blocking it: counts the dialogs, notes where the
// last one opened, then picks the files of `choice`, or cancels when there
// are none.
class FileDialogAnswer : public QObject
{
public:
    explicit FileDialogAnswer(const QStringList &choice = QStringList()) : m_choice(choice)
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
        // Several files as a user types them: each in quotes.
        dialog->selectFile(m_choice.size() == 1
                               ? m_choice.first()
                               : QLatin1Char('"') + m_choice.join(QStringLiteral("\" \"")) +
                                     QLatin1Char('"'));
        static_cast<QDialog *>(dialog)->accept();
        // Refused: fail the test rather than leave it waiting on the dialog.
        if (dialog->isVisible()) {
            refused = true;
            dialog->reject();
        }
    }
    QStringList m_choice;
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
    void dropSendsEveryFile_data();
    void dropSendsEveryFile();
    void dropWithoutConnectionWaits_data();
    void dropWithoutConnectionWaits();
    void dropDuringSendJoinsQueue_data();
    void dropDuringSendJoinsQueue();
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
    WindowTest::removeHistory();
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

void TestMainWindowFileChoice::dropSendsEveryFile_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QString>("endLine");
    QTest::addColumn<int>("sent"); // files whose contents go out
    QTest::addColumn<QString>("lastFolder");

    const QString done = utf8("传送完成!");
    QTest::newRow("one file") << QStringList{QStringLiteral("outbox/a.txt")} << done << 1
                              << QStringLiteral("outbox");
    QTest::newRow("several files")
        << QStringList{QStringLiteral("outbox/a.txt"), QStringLiteral("other/b.txt"),
                       QStringLiteral("other/c.txt")}
        << done << 3 << QStringLiteral("other");
    // The sender cannot open a folder; the folder's parent still becomes
    // the receive folder.
    QTest::newRow("folder") << QStringList{QStringLiteral("outbox/folder")}
                            << utf8("打开文件失败，传送中断\n") << 0 << QStringLiteral("outbox");
}

// Every file dropped goes, one at a time, in the order dropped, without a
// dialog; the receive folder follows each.
void TestMainWindowFileChoice::dropSendsEveryFile()
{
    QFETCH(QStringList, dropped);
    QFETCH(QString, endLine);
    QFETCH(int, sent);
    QFETCH(QString, lastFolder);
    QList<QUrl> urls;
    QList<QByteArray> contents;
    for (const QString &name : dropped) {
        const QString full = path(name);
        if (!QFileInfo(full).isDir())
            writeFile(name, contentsOf(name));
        urls << QUrl::fromLocalFile(full);
        contents << contentsOf(name);
    }
    QVERIFY(openConnectedWindow());

    FileDialogAnswer noDialog;
    QVERIFY(WindowTest::dropUrls(*m_window, urls));
    QCOMPARE(noDialog.opened, 0);

    QCOMPARE(sendCommands(), 1);
    QCOMPARE(m_window->worker()->filePath.get(), path(dropped.first()));
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("outbox")));
    QTRY_COMPARE_WITH_TIMEOUT(logText().count(endLine), qMax(sent, 1), WaitMs);
    QCOMPARE(sendCommands(), qMax(sent, 1));
    QCOMPARE(receiveFolderShown(), path(lastFolder));
    QCOMPARE(saveFilePath.get(), path(lastFolder));
    if (sent > 0)
        QTRY_VERIFY(inOrder(m_controller->received, contents));
    else
        QCOMPARE(m_controller->received, QByteArray());
}

void TestMainWindowFileChoice::dropWithoutConnectionWaits_data()
{
    QTest::addColumn<int>("localFiles"); // 0: a web address

    QTest::newRow("local file") << 1;
    QTest::newRow("two local files") << 2;
    QTest::newRow("web address") << 0;
}

// Dropped files wait for the connection; a web address leaves nothing
// waiting, so the click after connecting asks for a file.
void TestMainWindowFileChoice::dropWithoutConnectionWaits()
{
    QFETCH(int, localFiles);
    QStringList files;
    QList<QUrl> urls{webAddress()};
    for (int i = 0; i < localFiles; ++i) {
        const QString name = QStringLiteral("f%1").arg(i);
        files << writeFile(QStringLiteral("outbox/%1.txt").arg(name), contentsOf(name));
        urls << QUrl::fromLocalFile(files.last());
    }
    openWindow();
    // The window has seen its first attempt refused.
    QTRY_VERIFY_WITH_TIMEOUT(widget<QAction>("act_connect")->isEnabled(), WaitMs);

    QVERIFY(WindowTest::dropUrls(*m_window, urls));

    QCOMPARE(logText().count(utf8("未建立连接，传送失败!")), 1);
    QCOMPARE(m_window->sendQueue().waiting(), files);
    QCOMPARE(sendCommands(), 0);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("receive")));

    QVERIFY(connectWindow());
    FileDialogAnswer answer;
    click("fileTransmitBtn");

    QCOMPARE(answer.opened, localFiles > 0 ? 0 : 1);
    QCOMPARE(sendCommands(), localFiles > 0 ? 1 : 0);
    QTRY_COMPARE_WITH_TIMEOUT(sendCommands(), localFiles, WaitMs);
    QVERIFY(!m_window->sendQueue().hasWaiting());
    QList<QByteArray> contents;
    for (int i = 0; i < localFiles; ++i)
        contents << contentsOf(QStringLiteral("f%1").arg(i));
    QTRY_VERIFY_WITH_TIMEOUT(inOrder(m_controller->received, contents), WaitMs);
}

void TestMainWindowFileChoice::dropDuringSendJoinsQueue_data()
{
    QTest::addColumn<bool>("afterStartReported");

    QTest::newRow("stopped before the start is reported") << false;
    QTest::newRow("stopped after the start is reported") << true;
}

// A file dropped while a send runs joins the queue and waits for the send;
// a stop drops it, and the send stops even if the sender had not started
// when the stop came.
void TestMainWindowFileChoice::dropDuringSendJoinsQueue()
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
    QCOMPARE(logText().count(utf8("已加入发送队列: small.txt (共2个)")), 1);

    QCOMPARE(sendCommands(), 1);
    QCOMPARE(m_window->sendQueue().waiting(), QStringList{small});
    QCOMPARE(m_window->worker()->filePath.get(), large);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("outbox")));

    click("stopSendBtn");
    QCOMPARE(logText().count(utf8("以下文件未发送: small.txt")), 1);
    QVERIFY(!m_window->sendQueue().hasWaiting());
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains(utf8("传送已被强制中断!\n")), WaitMs);
    QCOMPARE(sendControlsEnabled().size(), 3);
    QCOMPARE(sendCommands(), 1);
    QVERIFY(!m_controller->received.contains(contentsOf(QStringLiteral("large"), 40000)));

    // The queue takes files again after the stop.
    QVERIFY(WindowTest::dropUrls(*m_window, {QUrl::fromLocalFile(small)}));
    QCOMPARE(noDialog.opened, 0);
    QCOMPARE(sendCommands(), 2);
    QCOMPARE(receiveFolderShown(), path(QStringLiteral("other")));
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->received.contains(contentsOf(QStringLiteral("small"))),
                             WaitMs);
}

void TestMainWindowFileChoice::fileDialog_data()
{
    QTest::addColumn<bool>("byDrop");
    QTest::addColumn<QStringList>("choice");

    const QString a = QStringLiteral("outbox/a.txt");
    QTest::newRow("button, file chosen") << false << QStringList{a};
    QTest::newRow("button, two files chosen")
        << false << QStringList{a, QStringLiteral("outbox/b.txt")};
    QTest::newRow("button, cancelled") << false << QStringList();
    QTest::newRow("web address dropped, file chosen") << true << QStringList{a};
    QTest::newRow("web address dropped, cancelled") << true << QStringList();
}

// The file dialog opens in the receive folder; the chosen files go one
// after another, and their folder becomes the receive folder, saved at
// exit.
void TestMainWindowFileChoice::fileDialog()
{
    QFETCH(bool, byDrop);
    QFETCH(QStringList, choice);
    QStringList chosen;
    QList<QByteArray> contents;
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")})
        writeFile(QStringLiteral("outbox/%1.txt").arg(name), contentsOf(name));
    for (const QString &file : choice) {
        chosen << path(file);
        contents << contentsOf(QFileInfo(file).baseName());
    }
    const QString folder =
        path(choice.isEmpty() ? QStringLiteral("receive") : QStringLiteral("outbox"));
    QVERIFY(openConnectedWindow());

    FileDialogAnswer answer(chosen);
    if (byDrop)
        QVERIFY(WindowTest::dropUrls(*m_window, {webAddress()}));
    else
        click("fileTransmitBtn");

    QCOMPARE(answer.opened, 1);
    QVERIFY(!answer.refused);
    QCOMPARE(answer.caption, utf8("选择文件"));
    QCOMPARE(canonical(answer.directory), canonical(path(QStringLiteral("receive"))));
    QCOMPARE(sendCommands(), chosen.isEmpty() ? 0 : 1);
    QCOMPARE(receiveFolderShown(), folder);
    QCOMPARE(saveFilePath.get(), folder);
    if (!chosen.isEmpty()) {
        QCOMPARE(m_window->worker()->filePath.get(), chosen.first());
        QTRY_COMPARE_WITH_TIMEOUT(sendCommands(), chosen.size(), WaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(inOrder(m_controller->received, contents), WaitMs);
    }
    QVERIFY(!m_window->sendQueue().hasWaiting());

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

    FileDialogAnswer answer(chosen.isEmpty() ? QStringList() : QStringList{chosen});
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
