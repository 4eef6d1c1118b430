// The window's connection display, with its own worker against a controller
// stand-in: a QTcpServer on 127.0.0.1:8080 in the test's own namespace.

#include "net/sendthread.h"
#include "settings/defaults.h"
#include "windowtest.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using WindowTest::connectedLine;
using WindowTest::utf8;

using State = QAbstractSocket::SocketState;

constexpr int WaitMs = 10000;
// An error shows for 5000 ms; the window's timer is coarse and may fire up
// to 5% either side of that.
constexpr qint64 ErrorStillShownMs = 4500;
constexpr qint64 ErrorClearedByMs = 5500;

QString disconnectedLine()
{
    return utf8("已和KVR控制器断开连接\n");
}

QLabel *label(const MainWindow &window, const char *name)
{
    return window.findChild<QLabel *>(QLatin1String(name));
}

QLabel *stateLabel(const MainWindow &window)
{
    return label(window, "clientStateLabel");
}

QLabel *messageLabel(const MainWindow &window)
{
    return label(window, "clientMsgLabel");
}

QAction *action(const MainWindow &window, const char *name)
{
    return window.findChild<QAction *>(QLatin1String(name));
}

bool connectEnabled(const MainWindow &window)
{
    return action(window, "act_connect")->isEnabled();
}

bool disconnectEnabled(const MainWindow &window)
{
    return action(window, "act_disconnect")->isEnabled();
}

QColor background(const QWidget *widget)
{
    return widget->palette().color(QPalette::Window);
}

QColor textColour(const QWidget *widget)
{
    return widget->palette().color(QPalette::WindowText);
}

// The toolkit's own text for a refused connection; call it while nothing
// listens on the port.
QString refusedText()
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, Defaults::ControllerPort);
    probe.waitForConnected(WaitMs);
    return probe.errorString();
}

// Runs the event loop until the label is empty or the clock reaches ms;
// true if the label still shows a text then.
bool stillShownAt(const QLabel *label, const QElapsedTimer &clock, qint64 ms)
{
    const bool reached = QTest::qWaitFor(
        [&] { return label->text().isEmpty() || clock.elapsed() >= ms; }, int(ms + WaitMs));
    return reached && !label->text().isEmpty();
}

bool clearedBy(const QLabel *label, const QElapsedTimer &clock, qint64 ms)
{
    const bool cleared = QTest::qWaitFor([&] { return label->text().isEmpty(); }, int(ms + WaitMs));
    return cleared && clock.elapsed() <= ms;
}

void invokeStateChange(MainWindow &window, State state)
{
    QMetaObject::invokeMethod(&window, "onSocketStateChange",
                              Q_ARG(QAbstractSocket::SocketState, state));
}

} // namespace

class TestMainWindowConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectsAtStartAndShowsItGreen();
    void serverClosingShowsDisconnectedInRed();
    void actionsDisconnectAndConnectAgain();
    void stateDisplay_data();
    void stateDisplay();
    void refusedConnectionShowsErrorForFiveSeconds();
    void secondErrorRestartsTheFiveSeconds();
    void pageChange_data();
    void pageChange();

private:
    bool listen() { return server->listen(QHostAddress::LocalHost, Defaults::ControllerPort); }
    MainWindow &openWindow();
    QTcpSocket *waitForPeer();
    void waitUntilRefusalShown();

    QTemporaryDir receiveDir;
    std::unique_ptr<QTcpServer> server;
    std::unique_ptr<MainWindow> window;
};

void TestMainWindowConnection::init()
{
    QVERIFY(receiveDir.isValid());
    server = std::make_unique<QTcpServer>();
}

void TestMainWindowConnection::cleanup()
{
    window.reset();
    server.reset();
}

// The window connects as it is built, so a listening server must be up first.
MainWindow &TestMainWindowConnection::openWindow()
{
    WindowTest::writeClientSettings(receiveDir.path());
    window = std::make_unique<MainWindow>();
    return *window;
}

QTcpSocket *TestMainWindowConnection::waitForPeer()
{
    if (!QTest::qWaitFor([this] { return server->hasPendingConnections(); }, WaitMs))
        return nullptr;
    return server->nextPendingConnection();
}

// With nothing listening, the start-up connect is refused: the state and the
// error both arrive, and nothing else follows.
void TestMainWindowConnection::waitUntilRefusalShown()
{
    QTRY_VERIFY_WITH_TIMEOUT(!messageLabel(*window)->text().isEmpty(), WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(*window)->text(), utf8("已断开连接"), WaitMs);
}

void TestMainWindowConnection::connectsAtStartAndShowsItGreen()
{
    QVERIFY(listen());
    MainWindow &w = openWindow();
    // Set by the constructor itself, before any report from the worker.
    QVERIFY(!connectEnabled(w));
    QVERIFY(disconnectEnabled(w));

    QVERIFY(waitForPeer());
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    QVERIFY(stateLabel(w)->autoFillBackground());
    QCOMPARE(background(stateLabel(w)), QColor(Qt::green));
    QCOMPARE(textColour(stateLabel(w)), QColor(Qt::black));
    QCOMPARE(WindowTest::logText(w), connectedLine());
    QVERIFY(!connectEnabled(w));
    QVERIFY(disconnectEnabled(w));
    QCOMPARE(w.worker()->controllerAddress.get(), QStringLiteral("127.0.0.1"));
    QVERIFY(messageLabel(w)->text().isEmpty());
}

void TestMainWindowConnection::serverClosingShowsDisconnectedInRed()
{
    QVERIFY(listen());
    MainWindow &w = openWindow();
    QTcpSocket *peer = waitForPeer();
    QVERIFY(peer);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);

    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已断开连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
    QCOMPARE(textColour(stateLabel(w)), QColor(Qt::black));
    QCOMPARE(WindowTest::logText(w), connectedLine() + QLatin1Char('\n') + disconnectedLine());
    QVERIFY(connectEnabled(w));
    QVERIFY(!disconnectEnabled(w));
    // The controller going away is an error of the socket as well.
    QTRY_VERIFY_WITH_TIMEOUT(!messageLabel(w)->text().isEmpty(), WaitMs);
    QCOMPARE(background(messageLabel(w)), QColor(Qt::red));
}

void TestMainWindowConnection::actionsDisconnectAndConnectAgain()
{
    QVERIFY(listen());
    MainWindow &w = openWindow();
    QTcpSocket *first = waitForPeer();
    QVERIFY(first);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);

    action(w, "act_disconnect")->trigger();
    // The actions follow the command at once, not the worker's report.
    QVERIFY(connectEnabled(w));
    QVERIFY(!disconnectEnabled(w));
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QAbstractSocket::UnconnectedState, WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已断开连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
    QCOMPARE(WindowTest::logText(w), connectedLine() + QLatin1Char('\n') + disconnectedLine());
    // Asked for, so not an error.
    QVERIFY(messageLabel(w)->text().isEmpty());

    w.findChild<QLineEdit *>(QStringLiteral("serverAddressLineEdit"))
        ->setText(QStringLiteral("  127.0.0.1 "));
    action(w, "act_connect")->trigger();
    QVERIFY(!connectEnabled(w));
    QVERIFY(disconnectEnabled(w));
    QCOMPARE(w.worker()->controllerAddress.get(), QStringLiteral("127.0.0.1"));
    QVERIFY(waitForPeer());
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::green));
    QVERIFY(!connectEnabled(w));
    QVERIFY(disconnectEnabled(w));
}

// States the loopback connection passes too fast to see, or never takes,
// given to the slot directly. A text "-" or a blue label means the state
// left it as it was.
void TestMainWindowConnection::stateDisplay_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("connectBefore");
    QTest::addColumn<bool>("connectAfter");
    QTest::addColumn<bool>("disconnectBefore");
    QTest::addColumn<bool>("disconnectAfter");

    const QColor unchanged(Qt::blue);
    QTest::newRow("unconnected") << int(QAbstractSocket::UnconnectedState) << utf8("已断开连接")
                                 << QColor(Qt::red) << disconnectedLine() << false << true << true
                                 << false;
    QTest::newRow("host lookup") << int(QAbstractSocket::HostLookupState) << utf8("正在查找主机")
                                 << unchanged << QString() << false << false << true << true;
    QTest::newRow("connecting") << int(QAbstractSocket::ConnectingState) << utf8("正在连接...")
                                << QColor(Qt::yellow) << QString() << false << false << true
                                << true;
    QTest::newRow("connected") << int(QAbstractSocket::ConnectedState) << utf8("已建立连接")
                               << QColor(Qt::green) << connectedLine() << true << false << false
                               << false;
    QTest::newRow("bound") << int(QAbstractSocket::BoundState) << utf8("已绑定到地址和端口")
                           << unchanged << QString() << true << true << false << false;
    QTest::newRow("listening") << int(QAbstractSocket::ListeningState) << utf8("正在监听中")
                               << unchanged << QString() << false << false << true << true;
    QTest::newRow("closing") << int(QAbstractSocket::ClosingState) << utf8("即将关闭") << unchanged
                             << QString() << true << true << false << false;
}

void TestMainWindowConnection::stateDisplay()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(QColor, colour);
    QFETCH(QString, log);
    QFETCH(bool, connectBefore);
    QFETCH(bool, connectAfter);
    QFETCH(bool, disconnectBefore);
    QFETCH(bool, disconnectAfter);

    MainWindow &w = openWindow();
    waitUntilRefusalShown();
    QLabel *label = stateLabel(w);
    label->setText(QStringLiteral("-"));
    QPalette blue;
    blue.setColor(QPalette::Window, Qt::blue);
    label->setPalette(blue);
    action(w, "act_connect")->setEnabled(connectBefore);
    action(w, "act_disconnect")->setEnabled(disconnectBefore);
    w.findChild<QTextEdit *>(QStringLiteral("textEdit"))->clear();

    invokeStateChange(w, State(state));
    QCOMPARE(label->text(), text);
    QCOMPARE(background(label), colour);
    if (colour != QColor(Qt::blue))
        QCOMPARE(textColour(label), QColor(Qt::black));
    QCOMPARE(WindowTest::logText(w), log);
    QCOMPARE(connectEnabled(w), connectAfter);
    QCOMPARE(disconnectEnabled(w), disconnectAfter);
}

void TestMainWindowConnection::refusedConnectionShowsErrorForFiveSeconds()
{
    const QString refused = refusedText();
    QVERIFY(!refused.isEmpty());
    MainWindow &w = openWindow();
    QLabel *message = messageLabel(w);
    QTRY_VERIFY_WITH_TIMEOUT(!message->text().isEmpty(), WaitMs);
    QElapsedTimer shown;
    shown.start();
    QCOMPARE(message->text(), refused);
    QVERIFY(message->autoFillBackground());
    QCOMPARE(background(message), QColor(Qt::red));
    QCOMPARE(textColour(message), QColor(Qt::black));

    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已断开连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
    QVERIFY(connectEnabled(w));
    QVERIFY(!disconnectEnabled(w));

    QVERIFY(stillShownAt(message, shown, ErrorStillShownMs));
    QVERIFY2(clearedBy(message, shown, ErrorClearedByMs), qPrintable(message->text()));
    QCOMPARE(background(message), w.findChild<QStatusBar *>()->palette().color(QPalette::Window));
    // Refused once, reported once: nobody tries again on their own.
    QCOMPARE(WindowTest::logText(w), disconnectedLine());
}

void TestMainWindowConnection::secondErrorRestartsTheFiveSeconds()
{
    MainWindow &w = openWindow();
    waitUntilRefusalShown();
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    int laterErrors = 0;
    QObject counter; // takes any late report with it
    connect(w.worker(), &sendThread::onClientErrorOccurs, &counter, [&] { ++laterErrors; });
    QTRY_VERIFY_WITH_TIMEOUT(connectEnabled(w), WaitMs);

    QVERIFY(QTest::qWaitFor([&] { return sinceFirst.elapsed() >= 1500; }, WaitMs));
    action(w, "act_connect")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(laterErrors, 1, WaitMs);
    QElapsedTimer sinceSecond;
    sinceSecond.start();

    // Past the first error's five seconds, still showing.
    QVERIFY(stillShownAt(messageLabel(w), sinceSecond, ErrorStillShownMs));
    QVERIFY(clearedBy(messageLabel(w), sinceSecond, ErrorClearedByMs));
}

void TestMainWindowConnection::pageChange_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("page");
    QTest::addColumn<bool>("clientShown");
    QTest::addColumn<QString>("title");

    const QString serverTitle = utf8("服务端(2.4)");
    const QString clientTitle = utf8("KVR文件网络传输助手(2.4)");
    QTest::newRow("server page") << 1 << 0 << false << serverTitle;
    QTest::newRow("client page") << 0 << 1 << true << clientTitle;
    QTest::newRow("unknown page after server") << 0 << 2 << false << serverTitle;
    QTest::newRow("negative page after client") << 1 << -1 << true << clientTitle;
}

void TestMainWindowConnection::pageChange()
{
    QFETCH(int, before);
    QFETCH(int, page);
    QFETCH(bool, clientShown);
    QFETCH(QString, title);

    MainWindow &w = openWindow();
    QMetaObject::invokeMethod(&w, "on_stackedWidget_currentChanged", Q_ARG(int, before));
    QMetaObject::invokeMethod(&w, "on_stackedWidget_currentChanged", Q_ARG(int, page));
    QCOMPARE(action(w, "act_connect")->isVisible(), clientShown);
    QCOMPARE(action(w, "act_disconnect")->isVisible(), clientShown);
    QCOMPARE(stateLabel(w)->isVisibleTo(&w), clientShown);
    QCOMPARE(messageLabel(w)->isVisibleTo(&w), clientShown);
    QCOMPARE(label(w, "serverStateLabel")->isVisibleTo(&w), !clientShown);
    QCOMPARE(label(w, "serverMsgLabel")->isVisibleTo(&w), !clientShown);
    QCOMPARE(w.windowTitle(), title);
}

QTEST_MAIN(TestMainWindowConnection)
#include "tst_mainwindowconnection.moc"
