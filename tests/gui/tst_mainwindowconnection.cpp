// The window's connection display, with its own worker against a controller
// stand-in: a QTcpServer on 127.0.0.1:8080 in the test's own namespace.

#include "client/reconnectschedule.h"
#include "historyfile.h"
#include "net/sendthread.h"
#include "testfiles.h"
#include "transfer/protocol.h"
#include "windowtest.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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

QString reconnectingText(int attempt)
{
    return utf8("正在重连 (第%1次)…").arg(attempt);
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
    probe.connectToHost(QHostAddress::LocalHost, Protocol::ControllerPort);
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

// Counts the connects the worker starts.
class ConnectCounter : public QObject
{
public:
    explicit ConnectCounter(const MainWindow &window)
    {
        connect(window.worker(), &sendThread::onSocketStateChange, this, [this](State state) {
            count += state == QAbstractSocket::ConnectingState ? 1 : 0;
        });
    }
    int count = 0;
};

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
    void actionsDisconnectAndConnectAgain_data();
    void actionsDisconnectAndConnectAgain();
    void stateDisplay_data();
    void stateDisplay();
    void refusedConnectionShowsErrorForFiveSeconds();
    void secondErrorRestartsTheFiveSeconds();
    void pageChange_data();
    void pageChange();
    void retriesFollowTheSchedule();
    void retriesEndWhenConnected();
    void retriesStop_data();
    void retriesStop();

private:
    bool listen() { return m_server->listen(QHostAddress::LocalHost, Protocol::ControllerPort); }
    MainWindow &openWindow(bool autoReconnect = false);
    QTcpSocket *waitForPeer();
    void waitUntilRefusalShown();

    QTemporaryDir m_receiveDir;
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<MainWindow> m_window;
};

void TestMainWindowConnection::init()
{
    WindowTest::removeHistory();
    QVERIFY(m_receiveDir.isValid());
    m_server = std::make_unique<QTcpServer>();
}

void TestMainWindowConnection::cleanup()
{
    m_window.reset();
    m_server.reset();
}

// The window connects as it is built, so a listening server must be up first.
MainWindow &TestMainWindowConnection::openWindow(bool autoReconnect)
{
    WindowTest::writeClientSettings(m_receiveDir.path());
    if (autoReconnect)
        QSettings(WindowTest::settingsFilePath(), QSettings::IniFormat)
            .setValue(QStringLiteral("autoReconnect"), true);
    m_window = std::make_unique<MainWindow>();
    return *m_window;
}

QTcpSocket *TestMainWindowConnection::waitForPeer()
{
    if (!QTest::qWaitFor([this] { return m_server->hasPendingConnections(); }, WaitMs))
        return nullptr;
    return m_server->nextPendingConnection();
}

// With nothing listening, the start-up connect is refused: the state and the
// error both arrive, and nothing else follows.
void TestMainWindowConnection::waitUntilRefusalShown()
{
    QTRY_VERIFY_WITH_TIMEOUT(!messageLabel(*m_window)->text().isEmpty(), WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(*m_window)->text(), utf8("已断开连接"), WaitMs);
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

void TestMainWindowConnection::actionsDisconnectAndConnectAgain_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("断开连接") << QStringLiteral("act_disconnect");
    // A controller that trickles a file never stalls: only the stop ends it.
    QTest::newRow("停止传输 in a trickled reception") << QStringLiteral("stopSendBtn");
}

void TestMainWindowConnection::actionsDisconnectAndConnectAgain()
{
    QFETCH(QString, how);
    QVERIFY(listen());
    MainWindow &w = openWindow();
    QTcpSocket *first = waitForPeer();
    QVERIFY(first);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    const bool receiving = how == QLatin1String("stopSendBtn");
    QTimer trickle;
    if (receiving) {
        const QByteArray contents(100, 'x');
        first->write(Protocol::buildHeader(QStringLiteral("slow.bin"), quint64(contents.size()),
                                           TestFiles::md5Hex(contents)));
        connect(&trickle, &QTimer::timeout, first, [first] { first->write("x"); });
        trickle.start(100);
        QTRY_VERIFY_WITH_TIMEOUT(WindowTest::logText(w).contains(utf8("开始接收...")), WaitMs);
        QVERIFY(!disconnectEnabled(w));
        w.findChild<QPushButton *>(how)->click();
    } else {
        action(w, "act_disconnect")->trigger();
    }
    // The actions follow the command at once, not the worker's report.
    QVERIFY(connectEnabled(w));
    QVERIFY(!disconnectEnabled(w));
    QTRY_COMPARE_WITH_TIMEOUT(first->state(), QAbstractSocket::UnconnectedState, WaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已断开连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
    if (receiving) {
        const QString stopped = utf8("已停止接收，未完成的文件已删除");
        QTRY_VERIFY_WITH_TIMEOUT(WindowTest::logText(w).contains(stopped), WaitMs);
        QVERIFY(WindowTest::logText(w).contains(disconnectedLine()));
        QVERIFY(!WindowTest::logText(w).contains(utf8("接收超时")));
        QCOMPARE(QDir(m_receiveDir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        const QList<QStringList> history = HistoryFile::entries(WindowTest::historyPath());
        QCOMPARE(history.size(), 1);
        QCOMPARE(HistoryFile::value(history[0], "result"), QStringLiteral("interrupted"));
    } else {
        QCOMPARE(WindowTest::logText(w), connectedLine() + QLatin1Char('\n') + disconnectedLine());
    }
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
    const ConnectCounter laterConnects(w);
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
    // Refused once, reported once: with the switch off nobody tries again.
    QCOMPARE(WindowTest::logText(w), disconnectedLine());
    QCOMPARE(laterConnects.count, 0);
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
    QCOMPARE(action(w, "act_autoReconnect")->isVisible(), clientShown);
    QCOMPARE(action(w, "act_transferList")->isVisible(), clientShown);
    QCOMPARE(stateLabel(w)->isVisibleTo(&w), clientShown);
    QCOMPARE(messageLabel(w)->isVisibleTo(&w), clientShown);
    QCOMPARE(label(w, "serverStateLabel")->isVisibleTo(&w), !clientShown);
    QCOMPARE(label(w, "serverMsgLabel")->isVisibleTo(&w), !clientShown);
    QCOMPARE(w.windowTitle(), title);
}

// A controller that refuses, as one still booting does: each failure arms
// one wait, 1, 2, 4, 8 s, then 10 s, and no connect starts but at its end.
// The log tells the run once, however many attempts fail.
void TestMainWindowConnection::retriesFollowTheSchedule()
{
    MainWindow &w = openWindow(true);
    ReconnectSchedule *schedule = w.reconnectSchedule();
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 1000, WaitMs);
    const ConnectCounter connects(w);
    const QList<int> waits{1000, 2000, 4000, 8000, 10000, 10000};
    for (int attempt = 1; attempt <= waits.size(); ++attempt) {
        QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), waits.at(attempt - 1), WaitMs);
        QCOMPARE(connects.count, attempt - 1);
        QCOMPARE(stateLabel(w)->text(), reconnectingText(attempt));
        QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
        QVERIFY(!connectEnabled(w));
        QVERIFY(disconnectEnabled(w));
        schedule->endWaitNow();
        QCOMPARE(schedule->waitingMs(), -1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 10000, WaitMs);
    QCOMPARE(connects.count, waits.size());
    QCOMPARE(WindowTest::logText(w), disconnectedLine() + QLatin1Char('\n') + utf8("开始自动重连"));
}

// A run ends with the connection it makes. A controller that drops it again
// at once, as one busy with another PC may, is not tried faster for that:
// the waits grow on until a connection has lasted.
void TestMainWindowConnection::retriesEndWhenConnected()
{
    QVERIFY(listen());
    MainWindow &w = openWindow(true);
    ReconnectSchedule *schedule = w.reconnectSchedule();
    QTcpSocket *peer = waitForPeer();
    QVERIFY(peer);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    m_server->close();
    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 1000, WaitMs);
    schedule->endWaitNow();
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 2000, WaitMs);
    QVERIFY(listen());
    schedule->endWaitNow();

    peer = waitForPeer();
    QVERIFY(peer);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    QCOMPARE(background(stateLabel(w)), QColor(Qt::green));
    QCOMPARE(WindowTest::logText(w), connectedLine() + QLatin1Char('\n') + disconnectedLine() +
                                         QLatin1Char('\n') + utf8("开始自动重连\n") +
                                         connectedLine());
    QCOMPARE(schedule->waitingMs(), -1);

    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 4000, WaitMs);
    QCOMPARE(stateLabel(w)->text(), reconnectingText(1));
    schedule->endWaitNow();
    peer = waitForPeer();
    QVERIFY(peer);
    QTRY_COMPARE_WITH_TIMEOUT(stateLabel(w)->text(), utf8("已建立连接"), WaitMs);
    schedule->endSettlingNow();
    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(schedule->waitingMs(), 1000, WaitMs);
}

void TestMainWindowConnection::retriesStop_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("断开连接") << QStringLiteral("act_disconnect");
    QTest::newRow("switch off") << QStringLiteral("act_autoReconnect");
}

// Stopped while waiting: the window is back as it is without the switch,
// and nothing connects once the controller is up again.
void TestMainWindowConnection::retriesStop()
{
    QFETCH(QString, how);
    MainWindow &w = openWindow(true);
    QTRY_COMPARE_WITH_TIMEOUT(w.reconnectSchedule()->waitingMs(), 1000, WaitMs);
    const ConnectCounter connects(w);

    action(w, how.toLatin1().constData())->trigger();
    QCOMPARE(w.reconnectSchedule()->waitingMs(), -1);
    QCOMPARE(stateLabel(w)->text(), utf8("已断开连接"));
    QCOMPARE(background(stateLabel(w)), QColor(Qt::red));
    QVERIFY(connectEnabled(w));
    QVERIFY(!disconnectEnabled(w));
    QCOMPARE(WindowTest::logText(w),
             disconnectedLine() + QLatin1Char('\n') + utf8("开始自动重连\n已停止自动重连"));

    QVERIFY(listen());
    QVERIFY(!QTest::qWaitFor([this] { return m_server->hasPendingConnections(); }, 2500));
    QCOMPARE(connects.count, 0);
}

QTEST_MAIN(TestMainWindowConnection)
#include "tst_mainwindowconnection.moc"
