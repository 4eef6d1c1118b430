// What the window shows of transfers: log lines, the two progress bars and
// the controls a transfer locks. The codes are given to the window's slots
// directly, after the counters the worker and the receive engine would have
// left for them; the window's own worker is connected to a QTcpServer on
// 127.0.0.1:8080 wherever the connection matters.

#include "net/sendthread.h"
#include "net/workercommands.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "windowtest.h"

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

namespace {

using WindowTest::utf8;

constexpr int WaitMs = 10000;

// Every control a transfer may lock, in the order enabledControls names them.
QString allControls()
{
    return QStringLiteral(
        "testBtn fileTransmitBtn dirShowLineEdit spinBox_bufferSize act_disconnect");
}

QString enabledControls(const MainWindow &window)
{
    QStringList names;
    for (const char *name :
         {"testBtn", "fileTransmitBtn", "dirShowLineEdit", "spinBox_bufferSize"}) {
        if (window.findChild<QWidget *>(QLatin1String(name))->isEnabled())
            names << QLatin1String(name);
    }
    if (window.findChild<QAction *>(QStringLiteral("act_disconnect"))->isEnabled())
        names << QStringLiteral("act_disconnect");
    return names.join(QLatin1Char(' '));
}

QProgressBar *sendBar(const MainWindow &window)
{
    return window.findChild<QProgressBar *>(QStringLiteral("sendProgressBar"));
}

QProgressBar *receiveBar(const MainWindow &window)
{
    return window.findChild<QProgressBar *>(QStringLiteral("recProgressBar"));
}

bool shown(const MainWindow &window, const QWidget *widget)
{
    return widget->isVisibleTo(&window);
}

QPushButton *button(const MainWindow &window, const char *name)
{
    return window.findChild<QPushButton *>(QLatin1String(name));
}

// The byte counts an event carries: the file's size, its bytes so far, and
// the bytes on the wire.
struct Figures
{
    quint64 size = 0;
    quint64 done = 0;
    quint64 wire = 0;
};

// A send event as the worker announces it.
void sendState(MainWindow &window, int code, Figures figures = {})
{
    const SendEvent event{code, figures.size, figures.done, figures.wire, 0, {}};
    QMetaObject::invokeMethod(&window, "getTransState", Q_ARG(SendEvent, event));
}

// A receive event as the worker passes it on, with whatever `more` adds.
void receiveState(MainWindow &window, int code, Figures figures = {},
                  const std::function<void(ReceiveEvent &)> &more = nullptr)
{
    ReceiveEvent event;
    event.code = code;
    event.fileSize = figures.size;
    event.fileBytes = figures.done;
    event.totalBytes = figures.wire;
    if (more)
        more(event);
    QMetaObject::invokeMethod(&window, "getRecState", Q_ARG(ReceiveEvent, event));
}

void clearLog(MainWindow &window)
{
    window.findChild<QTextEdit *>(QStringLiteral("textEdit"))->clear();
}

const QRegularExpression &durationPattern()
{
    static const QRegularExpression pattern(QStringLiteral("(耗时:)(\\d+\\.\\d{3})s"));
    return pattern;
}

// The seconds of the duration line with this label; -1 without one.
double loggedSeconds(const MainWindow &window, const QString &label)
{
    const QStringList lines = WindowTest::logText(window).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = durationPattern().match(line);
        if (match.hasMatch() && line.startsWith(label))
            return match.captured(2).toDouble();
    }
    return -1;
}

// Holds the GUI thread without running its events until done() holds.
template <typename Done> bool busyUntil(Done done)
{
    QDeadlineTimer deadline(WaitMs);
    while (!done() && !deadline.hasExpired())
        QThread::msleep(1);
    return done();
}

QByteArray greeting()
{
    return QByteArrayLiteral("\xE4\xBD\xA0\xE5\xA5\xBD!!");
}

} // namespace

class TestMainWindowProgress : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusBarAtStart();
    void sendStart_data();
    void sendStart();
    void sendBarKeepsItsValueBetweenSends();
    void receiveStart_data();
    void receiveStart();
    void rateShownWhileRunning_data();
    void rateShownWhileRunning();
    void durationsAreMeasuredWhereTheyHappen();
    void rawBurstKeepsEachChunk();
    void disconnectOnlyWhileConnected_data();
    void disconnectOnlyWhileConnected();
    void overlappingTransfers_data();
    void overlappingTransfers();
    void rawDataShownAsPlainText_data();
    void rawDataShownAsPlainText();
    void noticeOnlyWhileInactive_data();
    void noticeOnlyWhileInactive();
    void greetingWithoutConnection();
    void greetingReachesTheController();
    void clearButtonEmptiesTheLog();
    void stopButtonOnlyRequestsTheStop();
    void spinBoxSetsTheBufferSize();

private:
    MainWindow &openWindow();
    bool openConnectedWindow();
    bool openUnconnectedWindow();

    QTemporaryDir m_receiveDir;
    std::unique_ptr<QTcpServer> m_server;
    QTcpSocket *m_peer = nullptr;
    std::unique_ptr<MainWindow> m_window;
};

void TestMainWindowProgress::init()
{
    QVERIFY(m_receiveDir.isValid());
    m_server = std::make_unique<QTcpServer>();
}

void TestMainWindowProgress::cleanup()
{
    m_window.reset();
    m_peer = nullptr;
    m_server.reset();
    WindowTest::removeHistory();
}

MainWindow &TestMainWindowProgress::openWindow()
{
    WindowTest::writeClientSettings(m_receiveDir.path());
    m_window = std::make_unique<MainWindow>();
    return *m_window;
}

// Connected and settled: act_disconnect enabled, the log empty.
bool TestMainWindowProgress::openConnectedWindow()
{
    if (!m_server->listen(QHostAddress::LocalHost, Protocol::ControllerPort))
        return false;
    MainWindow &w = openWindow();
    QLabel *state = w.findChild<QLabel *>(QStringLiteral("clientStateLabel"));
    const bool connected = QTest::qWaitFor(
        [&] { return m_server->hasPendingConnections() && state->text() == utf8("已建立连接"); },
        WaitMs);
    if (!connected)
        return false;
    m_peer = m_server->nextPendingConnection();
    clearLog(w);
    return enabledControls(w) == allControls();
}

// The start-up connect refused and reported, the log empty.
bool TestMainWindowProgress::openUnconnectedWindow()
{
    MainWindow &w = openWindow();
    QAction *connect = w.findChild<QAction *>(QStringLiteral("act_connect"));
    if (!QTest::qWaitFor([&] { return connect->isEnabled(); }, WaitMs))
        return false;
    clearLog(w);
    return true;
}

void TestMainWindowProgress::statusBarAtStart()
{
    MainWindow &w = openWindow();
    QVERIFY(!shown(w, sendBar(w)));
    QVERIFY(!shown(w, receiveBar(w)));
    QCOMPARE(sendBar(w)->format(), utf8("发送:%p%"));
    QCOMPARE(receiveBar(w)->format(), utf8("接收:%p%"));
}

void TestMainWindowProgress::sendStart_data()
{
    QTest::addColumn<int>("link");
    QTest::addColumn<QString>("controls");

    QTest::newRow("on the client link") << int(LinkClient) << QStringLiteral("dirShowLineEdit");
    QTest::newRow("on no link") << int(LinkNone)
                                << QStringLiteral("dirShowLineEdit act_disconnect");
}

void TestMainWindowProgress::sendStart()
{
    QFETCH(int, link);
    QFETCH(QString, controls);
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    w.worker()->sendLink = link;

    sendState(w, TransStarted);
    QCOMPARE(WindowTest::logText(w), utf8("开始传送中..."));
    QVERIFY(shown(w, sendBar(w)));
    QVERIFY(!shown(w, receiveBar(w)));
    QCOMPARE(enabledControls(w), controls);
    QCOMPARE(w.worker()->sendLink.load(), link);
}

void TestMainWindowProgress::sendBarKeepsItsValueBetweenSends()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    sendState(w, TransStarted);
    QVERIFY(shown(w, sendBar(w)));
    QVERIFY2(sendBar(w)->value() <= 0, "the first send starts from an empty bar");

    sendState(w, TransProgress, {4, 3, 0});
    QCOMPARE(sendBar(w)->value(), 75);
    sendState(w, TransDone);
    QVERIFY(!shown(w, sendBar(w)));

    sendState(w, TransStarted);
    QVERIFY(shown(w, sendBar(w)));
    QCOMPARE(sendBar(w)->value(), 75);
}

// Each code after a send started (or, where marked, without one) on the
// client link. A duration is logged as "#.###" here.
void TestMainWindowProgress::receiveStart_data()
{
    QTest::addColumn<int>("link");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QString>("controls");
    QTest::addColumn<int>("value");

    // The bar shows 42 from an earlier reception.
    QTest::newRow("quarter, on the client link")
        << int(LinkClient) << quint64(4) << QStringLiteral("testBtn fileTransmitBtn") << 25;
    QTest::newRow("quarter, on no link")
        << int(LinkNone) << quint64(4) << QStringLiteral("testBtn fileTransmitBtn act_disconnect")
        << 25;
    QTest::newRow("empty file announced")
        << int(LinkClient) << quint64(0) << QStringLiteral("testBtn fileTransmitBtn") << 42;
}

void TestMainWindowProgress::receiveStart()
{
    QFETCH(int, link);
    QFETCH(quint64, size);
    QFETCH(QString, controls);
    QFETCH(int, value);
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    receiveState(w, RecProgress, {100, 42, 0});
    w.worker()->recvLink = link;

    receiveState(w, RecStarted, {size, 1, 0});
    QCOMPARE(WindowTest::logText(w), utf8("\n开始接收..."));
    QVERIFY(shown(w, receiveBar(w)));
    QCOMPARE(receiveBar(w)->value(), value);
    QVERIFY(!shown(w, sendBar(w)));
    QCOMPARE(enabledControls(w), controls);
    QCOMPARE(w.worker()->recvLink.load(), link);
}

// Each code after a reception started (or, where marked, without one) on
// the client link.
void TestMainWindowProgress::rateShownWhileRunning_data()
{
    QTest::addColumn<bool>("send");

    QTest::newRow("send") << true;
    QTest::newRow("reception") << false;
}

// Over the last second of the transfer's own time: 6 MB in the last 1.5 s,
// where the average since the start would say 3.2 MB/s.
void TestMainWindowProgress::rateShownWhileRunning()
{
    QFETCH(bool, send);
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    auto *label = w.findChild<QLabel *>(send ? QStringLiteral("sendRateLabel")
                                             : QStringLiteral("recRateLabel"));
    QVERIFY(label);
    const auto report = [&](int sendCode, int receiveCode, qint64 ms, quint64 done) {
        const int code = send ? sendCode : receiveCode;
        if (send) {
            const SendEvent sent{code, 10000000, done, done, ms, {}};
            QMetaObject::invokeMethod(&w, "getTransState", Q_ARG(SendEvent, sent));
        } else {
            ReceiveEvent received;
            received.code = code;
            received.fileSize = 10000000;
            received.fileBytes = done;
            received.elapsedMs = ms;
            QMetaObject::invokeMethod(&w, "getRecState", Q_ARG(ReceiveEvent, received));
        }
    };
    report(TransStarted, RecStarted, 0, 0);
    for (const auto &[ms, done] :
         {std::pair<qint64, quint64>{500, 1000000}, {1000, 2000000}, {2500, 8000000}})
        report(TransProgress, RecProgress, ms, done);
    QVERIFY(shown(w, label));
    QCOMPARE(label->text(), utf8("4.0 MB/s 剩余 0:01"));
    // No report for a while: the transfer has stalled, and the label says so.
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), utf8("0.0 kB/s 剩余 --:--"), WaitMs);

    report(TransDone, RecDone, 2600, 10000000);
    QVERIFY(!shown(w, label));
}

// The GUI thread is kept busy through both transfers, so their codes reach
// the window only at the end: the durations it logs must be the ones the
// transfers measured, not the time it took the window to get to them. The
// reception lasts as long as the send in its middle.
void TestMainWindowProgress::durationsAreMeasuredWhereTheyHappen()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    std::atomic<int> received{-1};
    std::atomic<qint64> receivedMs{-1};
    std::atomic<qint64> sentMs{-1};
    connect(
        w.worker(), &sendThread::receiveEvent, &w,
        [&](const ReceiveEvent &event) {
            received = event.code;
            if (event.code == RecDone)
                receivedMs = event.elapsedMs;
        },
        Qt::DirectConnection);
    connect(
        w.worker(), &sendThread::sendEvent, &w,
        [&sentMs](const SendEvent &event) {
            if (event.code == TransDone)
                sentMs = event.elapsedMs;
        },
        Qt::DirectConnection);
    const QByteArray contents("0123456789");
    const QByteArray md5 = QCryptographicHash::hash(contents, QCryptographicHash::Md5).toHex();
    m_peer->write(Protocol::buildHeader(QStringLiteral("timed.bin"), 10, md5) + contents.left(5));
    QVERIFY(m_peer->waitForBytesWritten(WaitMs));
    QVERIFY(busyUntil([&] { return received == RecStarted; }));

    // 200 blocks of one byte, at least 1 ms apart.
    QFile file(m_receiveDir.filePath(QStringLiteral("paced.bin")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(200, 'p')) == 200);
    file.close();
    w.findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"))->setValue(1);
    w.sendQueue().add({file.fileName()});
    button(w, "fileTransmitBtn")->click();
    QVERIFY(busyUntil([&] { return sentMs >= 0; }));
    m_peer->write(contents.mid(5) + Protocol::endMarker());
    QVERIFY(m_peer->waitForBytesWritten(WaitMs));
    QVERIFY(busyUntil([&] { return receivedMs >= 0; }));

    QTRY_VERIFY_WITH_TIMEOUT(loggedSeconds(w, utf8("接收耗时:")) >= 0, WaitMs);
    QCOMPARE(loggedSeconds(w, utf8("接收耗时:")), receivedMs * 0.001);
    QCOMPARE(loggedSeconds(w, utf8("发送耗时:")), sentMs * 0.001);
    QVERIFY2(sentMs >= 200, qPrintable(QString::number(sentMs)));
    QVERIFY2(receivedMs >= sentMs, qPrintable(QString::number(receivedMs)));
}

// One chunk of bufferSize bytes each: with the GUI thread busy, all their
// codes wait in its queue together, and each must still show its own text.
void TestMainWindowProgress::rawBurstKeepsEachChunk()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    w.findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"))->setValue(8);
    std::atomic<int> rawCodes{0};
    connect(
        w.worker()->recThread, &receiveThread::sendRecState, &w,
        [&rawCodes](int code) { rawCodes += code == RecRawData ? 1 : 0; }, Qt::DirectConnection);
    QByteArray burst;
    QStringList lines;
    for (int i = 0; i < 100; ++i) {
        const QByteArray text = QByteArray("raw-") + QByteArray::number(i).rightJustified(3, '0');
        burst += text + ' ';
        lines << QStringLiteral("[in] ") + QString::fromLatin1(text + ' ');
    }
    m_peer->write(burst);
    QVERIFY(m_peer->waitForBytesWritten(WaitMs));
    // Enough waiting together, but fewer than make the window hold the
    // controller back.
    QVERIFY(busyUntil([&] { return rawCodes >= 32; }));

    QTRY_COMPARE_WITH_TIMEOUT(WindowTest::logText(w).split(QLatin1Char('\n')).size(), 100, WaitMs);
    QCOMPARE(WindowTest::logText(w).split(QLatin1Char('\n')), lines);
}

void TestMainWindowProgress::disconnectOnlyWhileConnected_data()
{
    QTest::addColumn<bool>("connected");

    QTest::newRow("controller gone in the middle of a file") << true;
    QTest::newRow("send clicked without a connection") << false;
}

// Whatever link a transfer was tied to, its end never offers a disconnect
// while there is no connection.
void TestMainWindowProgress::disconnectOnlyWhileConnected()
{
    QFETCH(bool, connected);
    QAction *connectAction = nullptr;
    QAction *disconnectAction = nullptr;
    if (connected) {
        QVERIFY(openConnectedWindow());
        m_peer->write(Protocol::buildHeader(QStringLiteral("cut.bin"), 1000, QByteArray()) + "abc");
        QTRY_VERIFY_WITH_TIMEOUT(shown(*m_window, receiveBar(*m_window)), WaitMs);
        m_peer->abort();
        QTRY_VERIFY_WITH_TIMEOUT(
            WindowTest::logText(*m_window).contains(utf8("接收超时，已强制中断!\n")), WaitMs);
    } else {
        QVERIFY(openUnconnectedWindow());
        button(*m_window, "fileTransmitBtn")->click();
        QCOMPARE(WindowTest::logText(*m_window), utf8("未建立连接，传送失败!"));
        receiveState(*m_window, RecStarted);
        receiveState(*m_window, RecTimeout);
    }
    connectAction = m_window->findChild<QAction *>(QStringLiteral("act_connect"));
    disconnectAction = m_window->findChild<QAction *>(QStringLiteral("act_disconnect"));
    QVERIFY(connectAction->isEnabled());
    QVERIFY(!disconnectAction->isEnabled());
}

void TestMainWindowProgress::overlappingTransfers_data()
{
    QTest::addColumn<bool>("sendEndsFirst");
    QTest::addColumn<QString>("controls");

    QTest::newRow("send ends first")
        << true << QStringLiteral("testBtn fileTransmitBtn spinBox_bufferSize act_disconnect");
    QTest::newRow("reception ends first")
        << false << QStringLiteral("dirShowLineEdit spinBox_bufferSize act_disconnect");
}

void TestMainWindowProgress::overlappingTransfers()
{
    QFETCH(bool, sendEndsFirst);
    QFETCH(QString, controls);
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    sendThread *worker = w.worker();
    worker->sendLink = LinkClient;
    worker->recvLink = LinkClient;
    sendState(w, TransStarted);
    receiveState(w, RecStarted);
    QCOMPARE(enabledControls(w), QString());

    if (sendEndsFirst)
        sendState(w, TransDone);
    else
        receiveState(w, RecDone);
    QCOMPARE(enabledControls(w), controls);
    QCOMPARE(shown(w, sendBar(w)), !sendEndsFirst);
    QCOMPARE(shown(w, receiveBar(w)), sendEndsFirst);
    QCOMPARE(worker->sendLink.load(), int(sendEndsFirst ? LinkNone : LinkClient));
    QCOMPARE(worker->recvLink.load(), int(sendEndsFirst ? LinkClient : LinkNone));

    if (sendEndsFirst)
        receiveState(w, RecDone);
    else
        sendState(w, TransDone);
    QCOMPARE(enabledControls(w), allControls());
    QVERIFY(!shown(w, sendBar(w)));
    QVERIFY(!shown(w, receiveBar(w)));
    QCOMPARE(worker->sendLink.load(), int(LinkNone));
    QCOMPARE(worker->recvLink.load(), int(LinkNone));
}

void TestMainWindowProgress::rawDataShownAsPlainText_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("line");

    const QChar replacement(QChar::ReplacementCharacter);
    QTest::newRow("text") << QByteArrayLiteral("status ok") << QStringLiteral("[in] status ok");
    QTest::newRow("utf-8") << QByteArrayLiteral("\xE4\xBD\xA0\xE5\xA5\xBD") << utf8("[in] 你好");
    QTest::newRow("zero byte inside") << QByteArray("ab\0cd", 5) << QStringLiteral("[in] ab");
    QTest::newRow("zero byte first") << QByteArray("\0cd", 3) << QStringLiteral("[in] ");
    QTest::newRow("no valid utf-8") << QByteArrayLiteral("\xFF\xFE")
                                    << QString(QStringLiteral("[in] ") + replacement + replacement);
    QTest::newRow("invalid byte inside")
        << QByteArrayLiteral("a\xFFz")
        << QString(QStringLiteral("[in] a") + replacement + QLatin1Char('z'));
    QTest::newRow("markup") << QByteArrayLiteral("<b>x</b> &amp;")
                            << QStringLiteral("[in] <b>x</b> &amp;");
    QTest::newRow("longer than a line shows")
        << QByteArray(501, 'a')
        << QString(QStringLiteral("[in] ") + QString(500, QLatin1Char('a')) + QChar(0x2026));
}

void TestMainWindowProgress::rawDataShownAsPlainText()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, line);
    QVERIFY(openConnectedWindow());
    m_peer->write(raw);
    QTRY_COMPARE_WITH_TIMEOUT(WindowTest::logText(*m_window), line, WaitMs);
}

void TestMainWindowProgress::noticeOnlyWhileInactive_data()
{
    QTest::addColumn<int>("code"); // a receive code, or TransDone for a send
    QTest::addColumn<int>("times");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QStringList>("notices");

    QTest::newRow("reception done, elsewhere")
        << int(RecDone) << 1 << false << QStringList{utf8("接收完成: a.bin")};
    QTest::newRow("reception done, here") << int(RecDone) << 1 << true << QStringList();
    QTest::newRow("reception failed, elsewhere")
        << int(RecMd5Mismatch) << 1 << false << QStringList{utf8("接收失败: a.bin")};
    // A controller that sends header after refused header: the rest summed up.
    QTest::newRow("12 refused, elsewhere")
        << int(RecCreateFailed) << 12 << false
        << QStringList{utf8("接收失败: a.bin"), utf8("接收失败: 11 个文件")};
    QTest::newRow("controller text, elsewhere") << int(RecRawData) << 1 << false << QStringList();
    QTest::newRow("progress, elsewhere") << int(RecProgress) << 1 << false << QStringList();
    QTest::newRow("send done, elsewhere")
        << int(TransDone) << 1 << false << QStringList{utf8("发送完成: sent.bin")};
    QTest::newRow("send done, here") << int(TransDone) << 1 << true << QStringList();
}

// The user is told of an end only while another window is active.
void TestMainWindowProgress::noticeOnlyWhileInactive()
{
    QFETCH(int, code);
    QFETCH(int, times);
    QFETCH(bool, active);
    QFETCH(QStringList, notices);
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    const WindowTest::DesktopRecord &desktop = WindowTest::recordDesktop(w);
    QWidget elsewhere;
    w.show();
    elsewhere.show();
    // Offscreen under Wine makes no platform windows, so nothing is exposed
    // or activated by the system: the activation is Qt's own.
    QCoreApplication::processEvents();
    QWidget *activeWindow = active ? static_cast<QWidget *>(&w) : &elsewhere;
    QApplication::setActiveWindow(activeWindow);
    QTRY_VERIFY(activeWindow->isActiveWindow());

    if (code == TransDone) {
        QFile file(m_receiveDir.filePath(QStringLiteral("sent.bin")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("sent") == 4);
        file.close();
        w.sendQueue().add({file.fileName()});
        button(w, "fileTransmitBtn")->click();
        QTRY_VERIFY_WITH_TIMEOUT(WindowTest::logText(w).contains(utf8("传送完成!")), WaitMs);
    } else {
        for (int i = 0; i < times; ++i)
            receiveState(w, code, {}, [](ReceiveEvent &event) {
                event.fileName = QStringLiteral("a.bin");
                event.rawText = QStringLiteral("text");
            });
    }
    QCOMPARE(desktop.notices, notices.mid(0, 1));
    QTRY_COMPARE_WITH_TIMEOUT(desktop.notices, notices, WaitMs);
    QCOMPARE(w.isActiveWindow(), active);
}

void TestMainWindowProgress::greetingWithoutConnection()
{
    QVERIFY(openUnconnectedWindow());
    MainWindow &w = *m_window;
    button(w, "testBtn")->click();
    QCOMPARE(WindowTest::logText(w), utf8("未建立连接，无法发送!"));
}

void TestMainWindowProgress::greetingReachesTheController()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    button(w, "testBtn")->click();
    QTRY_VERIFY_WITH_TIMEOUT(m_peer->bytesAvailable() >= greeting().size(), WaitMs);
    QCOMPARE(m_peer->readAll(), greeting());
    QCOMPARE(w.worker()->currentDevice.load(), w.worker()->clientSocket.load());
    // Not a transfer: nothing logged, nothing locked.
    QCOMPARE(WindowTest::logText(w), QString());
    QCOMPARE(enabledControls(w), allControls());
    QCOMPARE(w.worker()->sendLink.load(), int(LinkNone));
}

void TestMainWindowProgress::clearButtonEmptiesTheLog()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    sendState(w, TransStarted);
    sendState(w, TransAborted);
    QVERIFY(!WindowTest::logText(w).isEmpty());

    button(w, "clearTextBtn")->click();
    QCOMPARE(WindowTest::logText(w), QString());
    sendState(w, TransDisconnected);
    QCOMPARE(WindowTest::logText(w), utf8("连接已断开,传送中断!"));
}

void TestMainWindowProgress::stopButtonOnlyRequestsTheStop()
{
    QVERIFY(openConnectedWindow());
    MainWindow &w = *m_window;
    QVERIFY(!w.worker()->stopRequested);
    button(w, "stopSendBtn")->click();
    QVERIFY(w.worker()->stopRequested);
    QCOMPARE(WindowTest::logText(w), QString());
    QCOMPARE(enabledControls(w), allControls());
    QVERIFY(!shown(w, sendBar(w)));
}

void TestMainWindowProgress::spinBoxSetsTheBufferSize()
{
    QVERIFY(openConnectedWindow());
    auto *spinBox = m_window->findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"));
    for (int size : {1, 65536, 4096}) {
        spinBox->setValue(size);
        QCOMPARE(m_window->worker()->bufferSize.load(), size);
    }
}

QTEST_MAIN(TestMainWindowProgress)
#include "tst_mainwindowprogress.moc"
