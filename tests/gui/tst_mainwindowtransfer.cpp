// Whole files through the window, with the controller stand-in as the peer
// on 127.0.0.1:8080 (each test binary has its own network namespace): what
// arrives, what the log and the history say about it, the state the window
// is left in, queues of files, and closing the window in the middle of a
// send.

#include "historyfile.h"
#include "net/sendthread.h"
#include "settings/defaults.h"
#include "standinprocess.h"
#include "testfiles.h"
#include "transfer/crossthreadvalues.h"
#include "transfer/protocol.h"
#include "transfer/receivethread.h"
#include "windowtest.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <QUrl>

#include <atomic>
#include <memory>

using namespace TestFiles;
using namespace WindowTest;

namespace {

constexpr int WaitMs = 10000;
constexpr int MiB = 1024 * 1024;

// Both ends send at most one block of the default size a millisecond, so a
// transfer lasts at least this long; half of it leaves room for late reports.
double minSecondsFor(int size)
{
    const int wholeBlocks = size / Defaults::BufferSize;
    return 0.0005 * wholeBlocks;
}

// The bytes one file takes on the wire, markers and MD5 section included.
quint64 wireSize(const QString &name, const QByteArray &contents)
{
    return quint64(Protocol::buildHeader(name, quint64(contents.size()), md5Hex(contents)).size() +
                   contents.size() + Protocol::endMarker().size());
}

// Empty when the whole log is the connection line, then `lines`, then a
// duration line under durationLabel within the bounds; else what is wrong.
QString logProblem(const QString &log, const QStringList &lines, const QString &durationLabel,
                   double minSeconds, double maxSeconds)
{
    const QString fixed = (QStringList{connectedLine()} + lines).join(QLatin1Char('\n'));
    const QRegularExpression pattern(
        QLatin1String("\\A") +
        QRegularExpression::escape(fixed + QLatin1Char('\n') + durationLabel) +
        QLatin1String("(\\d+\\.\\d{3})s\n\\z"));
    const QRegularExpressionMatch match = pattern.match(log);
    if (!match.hasMatch())
        return QStringLiteral("unexpected log:\n") + log;
    const double seconds = match.captured(1).toDouble();
    if (seconds < minSeconds || seconds > maxSeconds)
        return QStringLiteral("%1 s, not within %2 to %3 s")
            .arg(seconds)
            .arg(minSeconds)
            .arg(maxSeconds);
    return QString();
}

// The seconds a log line gives after its label, or -1.
QString loggedSeconds(const QString &log, const QString &label)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QRegularExpression::escape(label) + QStringLiteral("(\\d+\\.\\d{3})s"))
            .match(log);
    return match.hasMatch() ? match.captured(1) : QString();
}

// The lines of the log that tell a queue's course: places, files added,
// dropped or waiting, the history's failure (without its reason), and how
// each file ended.
QStringList queueStory(const QString &log)
{
    static const QRegularExpression told(QString::fromUtf8(
        "^(\\[\\d+/\\d+\\] |已加入发送队列|以下文件|传送完成!|传送已被强制中断!|打开文件失败|"
        "连接已断开,传送中断!)"));
    const QString historyFailed = QString::fromUtf8("无法写入传输记录");
    QStringList story;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        if (line.startsWith(historyFailed))
            story << historyFailed;
        else if (told.match(line).hasMatch())
            story << line;
    }
    return story;
}

// "name result" for every line of the history.
QStringList historyResults()
{
    QStringList results;
    for (const QStringList &entry : HistoryFile::entries(historyPath()))
        results << HistoryFile::value(entry, "file") + QLatin1Char(' ') +
                       HistoryFile::value(entry, "result");
    return results;
}

} // namespace

class tst_MainWindowTransfer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendsFile_data();
    void sendsFile();
    void sendsQueue_data();
    void sendsQueue();
    void receivesFile_data();
    void receivesFile();
    void manyTinyFilesInOneWrite();
    void closingDuringSendEndsItQuickly();
    void reconnectsWhenTheControllerIsBack();

private:
    QString workPath(const QString &name) const { return m_work->filePath(name); }
    QString outboxDir() const { return workPath(QStringLiteral("outbox")); }
    QString inboxDir() const { return workPath(QStringLiteral("inbox")); }
    QString storeDir() const { return workPath(QStringLiteral("store")); }
    QString outboxPath(const QString &name) const { return outboxDir() + QLatin1Char('/') + name; }
    bool startSim(const QStringList &arguments = QStringList());
    bool openWindow();
    bool openBusyWindow(int files, int busyMs);
    template <typename T> T *widget(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }

    std::unique_ptr<QTemporaryDir> m_work;
    StandInProcess m_sim{WaitMs};
    std::unique_ptr<MainWindow> m_window;
};

void tst_MainWindowTransfer::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    QVERIFY(QDir().mkpath(outboxDir()));
    QVERIFY(QDir().mkpath(inboxDir()));
    removeHistory();
}

void tst_MainWindowTransfer::cleanup()
{
    m_window.reset();
    QVERIFY2(m_sim.stop(), "the stand-in had to be killed");
    removeSettings();
    removeHistory();
}

bool tst_MainWindowTransfer::startSim(const QStringList &arguments)
{
    return m_sim.startOnLoopback(storeDir(), arguments, m_work->path());
}

// Keeps the GUI thread busy from the window's start until the engine has
// finished `files` files or sent enough codes that the window would soon
// hold the controller back, then busyMs longer, as a repaint or a loaded
// machine would: the codes wait in its queue together.
bool tst_MainWindowTransfer::openBusyWindow(int files, int busyMs)
{
    writeClientSettings(inboxDir());
    m_window = std::make_unique<MainWindow>();
    std::atomic<int> filesDone{0};
    std::atomic<int> codes{0};
    const QMetaObject::Connection counting = connect(
        m_window->worker()->recThread, &receiveThread::sendRecState, m_window.get(),
        [&](int code) {
            ++codes;
            filesDone += code == RecDone ? 1 : 0;
        },
        Qt::DirectConnection);
    QDeadlineTimer busy(3 * WaitMs);
    while (filesDone < files && codes < 32 && !busy.hasExpired())
        QThread::msleep(1);
    QThread::msleep(ulong(busyMs));
    disconnect(counting);
    return !busy.hasExpired();
}

// The window connects as it is built; ready once the log says so.
bool tst_MainWindowTransfer::openWindow()
{
    writeClientSettings(inboxDir());
    m_window = std::make_unique<MainWindow>();
    return !m_sim.waitForLine(QStringLiteral("connected 127.0.0.1:")).isNull() &&
           QTest::qWaitFor([this] { return logText(*m_window).contains(connectedLine()); }, WaitMs);
}

void tst_MainWindowTransfer::sendsFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<bool>("stopFirst"); // "停止传输" while nothing is sent

    QTest::newRow("3 MiB, dropped") << 3 * MiB + 5 << true << false;
    QTest::newRow("empty, dropped") << 0 << true << false;
    QTest::newRow("1 byte, button with a file waiting") << 1 << false << false;
    QTest::newRow("1 byte, dropped after a stop while idle") << 1 << true << true;
}

void tst_MainWindowTransfer::sendsFile()
{
    QFETCH(int, size);
    QFETCH(bool, dropped);
    QFETCH(bool, stopFirst);
    const QString name = QStringLiteral("payload.bin");
    const QByteArray contents = randomBytes(size, quint32(size) + 3);
    QVERIFY(writeFile(outboxPath(name), contents));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QVERIFY2(openWindow(), qPrintable(m_sim.seenOutput()));
    QElapsedTimer clock;
    clock.start();
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);

    if (stopFirst)
        widget<QPushButton>("stopSendBtn")->click();
    if (dropped) {
        QVERIFY(WindowTest::dropUrls(*m_window, {QUrl::fromLocalFile(outboxPath(name))}));
    } else {
        m_window->sendQueue().add({outboxPath(name)});
        widget<QPushButton>("fileTransmitBtn")->click();
    }

    const QString done = QString::fromUtf8("传送完成!");
    QTRY_VERIFY_WITH_TIMEOUT(logText(*m_window).contains(done), 3 * WaitMs);
    const double maxSeconds = clock.elapsed() / 1000.0;
    QCOMPARE(m_sim.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: %1 (%2 bytes) MD5 ok").arg(name).arg(size));
    QCOMPARE(readFile(storeDir() + QLatin1Char('/') + name), contents);
    const QString problem = logProblem(
        logText(*m_window),
        {QString::fromUtf8("开始传送中..."), done,
         QString::fromUtf8("发送文件大小:") + QString::number(size),
         QString::fromUtf8("总发送字节大小:") + QString::number(wireSize(name, contents))},
        QString::fromUtf8("发送耗时:"), minSecondsFor(size), maxSeconds);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    QVERIFY(widget<QProgressBar>("sendProgressBar")->isHidden());
    QVERIFY(widget<QPushButton>("fileTransmitBtn")->isEnabled());
    QVERIFY(widget<QPushButton>("testBtn")->isEnabled());
    QVERIFY(widget<QSpinBox>("spinBox_bufferSize")->isEnabled());
    QVERIFY(widget<QAction>("act_disconnect")->isEnabled());
    QCOMPARE(m_window->worker()->sendLink.load(), int(LinkNone));
    QCOMPARE(widget<QLineEdit>("dirShowLineEdit")->text(), outboxDir());
    QCOMPARE(saveFilePath.get(), outboxDir());
    QVERIFY(!m_window->sendQueue().hasWaiting());

    const QList<QStringList> history = HistoryFile::entries(historyPath());
    QCOMPARE(history.size(), 1);
    const QDateTime ended = QDateTime::fromString(history[0].value(0), Qt::ISODate);
    QVERIFY2(ended >= started && ended <= QDateTime::currentDateTime(),
             qPrintable(history[0].value(0)));
    QCOMPARE(history[0].mid(1),
             (QStringList{QStringLiteral("send"), QStringLiteral("127.0.0.1"),
                          QStringLiteral("8080"), name, QString::number(size),
                          QString::fromLatin1(md5Hex(contents)), QStringLiteral("ok"),
                          loggedSeconds(logText(*m_window), QString::fromUtf8("发送耗时:"))}));
}

void tst_MainWindowTransfer::sendsQueue_data()
{
    QTest::addColumn<QList<int>>("sizes"); // of a.bin, b.bin...; -1: no such file
    // What happens once the largest file is under way (stop, link, add),
    // or once the queue has stopped (resume).
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("historyWritable");
    QTest::addColumn<QStringList>("story");   // queueStory()
    QTest::addColumn<QStringList>("arrived"); // in order
    QTest::addColumn<QStringList>("results"); // historyResults()
    QTest::addColumn<QStringList>("notices");

    const auto utf = [](const char *text) { return QString::fromUtf8(text); };
    const QString done = utf("传送完成!");
    const auto place = [&](int number, int total, const char *name) -> QString {
        return QStringLiteral("[%1/%2] ").arg(number).arg(total) + utf("开始传送 ") +
               QLatin1String(name);
    };
    const auto ok = [](const char *name) -> QString {
        return QLatin1String(name) + QStringLiteral(" ok");
    };
    const int big = 2 * MiB; // over 2 s at 1000 bytes a millisecond
    const QStringList abcde{QStringLiteral("a.bin"), QStringLiteral("b.bin"),
                            QStringLiteral("c.bin"), QStringLiteral("d.bin"),
                            QStringLiteral("e.bin")};
    // Two of five sent, and the third started.
    const QStringList twoSent{place(1, 5, "a.bin"), done, place(2, 5, "b.bin"), done,
                              place(3, 5, "c.bin")};
    const QStringList twoOk{ok("a.bin"), ok("b.bin")};
    const QString restWait = utf("以下文件等待发送,点击\"文件传输\"继续: d.bin, e.bin");

    QTest::newRow("five files")
        << QList<int>{1000, 0, 3000, 1, 500} << QString() << true
        << QStringList{place(1, 5, "a.bin"), done, place(2, 5, "b.bin"), done,
                       place(3, 5, "c.bin"), done, place(4, 5, "d.bin"), done,
                       place(5, 5, "e.bin"), done}
        << abcde << QStringList{ok("a.bin"), ok("b.bin"), ok("c.bin"), ok("d.bin"), ok("e.bin")}
        << QStringList{utf("发送完成: 5 个文件")};
    QTest::newRow("stopped in the middle")
        << QList<int>{1000, 1000, big, 1000, 1000} << QStringLiteral("stop") << true
        << twoSent + QStringList{utf("以下文件未发送: d.bin, e.bin"), utf("传送已被强制中断!")}
        << QStringList(abcde.mid(0, 2)) << twoOk + QStringList{QStringLiteral("c.bin interrupted")}
        << QStringList();
    QTest::newRow("a file that cannot be read, then the rest sent")
        << QList<int>{1000, 1000, -1, 1000, 1000} << QStringLiteral("resume") << true
        << twoSent + QStringList{utf("打开文件失败，传送中断"), restWait,
                                 place(1, 2, "d.bin"),          done,
                                 place(2, 2, "e.bin"),          done}
        << QStringList{QStringLiteral("a.bin"), QStringLiteral("b.bin"), QStringLiteral("d.bin"),
                       QStringLiteral("e.bin")}
        << twoOk + QStringList{QStringLiteral("c.bin open-failed"), ok("d.bin"), ok("e.bin")}
        << QStringList{utf("发送失败: c.bin"), utf("发送完成: 2 个文件")};
    QTest::newRow("the link dropped in the middle")
        << QList<int>{1000, 1000, big, 1000, 1000} << QStringLiteral("link") << true
        << twoSent + QStringList{utf("连接已断开,传送中断!"), restWait}
        << QStringList(abcde.mid(0, 2))
        << twoOk + QStringList{QStringLiteral("c.bin connection-lost")}
        << QStringList{utf("发送失败: c.bin")};
    QTest::newRow("files added while the queue runs")
        << QList<int>{big, 1000} << QStringLiteral("add") << true
        << QStringList{place(1, 2, "a.bin"),
                       utf("已加入发送队列: c.bin, d.bin (共4个)"),
                       done,
                       place(2, 4, "b.bin"),
                       done,
                       place(3, 4, "c.bin"),
                       done,
                       place(4, 4, "d.bin"),
                       done}
        << QStringList(abcde.mid(0, 4))
        << QStringList{ok("a.bin"), ok("b.bin"), ok("c.bin"), ok("d.bin")}
        << QStringList{utf("发送完成: 4 个文件")};
    QTest::newRow("files dropped after a stop wait, then the rest sent")
        << QList<int>{big} << QStringLiteral("stop, add, resume") << true
        << QStringList{utf("已加入发送队列: b.bin, c.bin (停止后待发送)"),
                       utf("传送已被强制中断!"),
                       utf("以下文件等待发送,点击\"文件传输\"继续: b.bin, c.bin"),
                       place(1, 2, "b.bin"),
                       done,
                       place(2, 2, "c.bin"),
                       done}
        << QStringList{QStringLiteral("b.bin"), QStringLiteral("c.bin")}
        << QStringList{QStringLiteral("a.bin interrupted"), ok("b.bin"), ok("c.bin")}
        << QStringList{utf("发送完成: 2 个文件")};
    QTest::newRow("a history that cannot be written")
        << QList<int>{1000, 1000} << QString() << false
        << QStringList{place(1, 2, "a.bin"), done, utf("无法写入传输记录"), place(2, 2, "b.bin"),
                       done}
        << QStringList(abcde.mid(0, 2)) << QStringList() << QStringList{utf("发送完成: 2 个文件")};
}

// The files go one after another over the connection, each logged as a
// single file is, after a line with its place; the history has a line for
// each file that ended, and the user in another window hears of the end.
void tst_MainWindowTransfer::sendsQueue()
{
    QFETCH(QList<int>, sizes);
    QFETCH(QString, action);
    QFETCH(bool, historyWritable);
    QFETCH(QStringList, story);
    QFETCH(QStringList, arrived);
    QFETCH(QStringList, results);
    QFETCH(QStringList, notices);
    QList<QUrl> urls;
    QList<QUrl> added; // dropped once the largest file is under way
    QMap<QString, QByteArray> contents;
    int largest = 0;
    const bool stop = action.contains(QLatin1String("stop"));
    const bool add = action.contains(QLatin1String("add"));
    for (int i = 0; i < sizes.size() + (add ? 2 : 0); ++i) {
        const QString name = QString(QLatin1Char(char('a' + i))) + QStringLiteral(".bin");
        const int size = sizes.value(i, 100);
        if (size >= 0) {
            contents[name] = randomBytes(size, quint32(i));
            QVERIFY(writeFile(outboxPath(name), contents[name]));
        }
        (i < sizes.size() ? urls : added) << QUrl::fromLocalFile(outboxPath(name));
        if (size > sizes.value(largest))
            largest = i;
    }
    if (!historyWritable)
        QVERIFY(QDir().mkpath(historyPath()));
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QVERIFY2(openWindow(), qPrintable(m_sim.seenOutput()));
    const DesktopRecord &desktop = recordDesktop(*m_window);
    widget<QSpinBox>("spinBox_bufferSize")->setValue(1000);

    QVERIFY(WindowTest::dropUrls(*m_window, urls));
    const QString started = QString::fromUtf8("开始传送中...");
    if (stop || add || action == QLatin1String("link")) {
        QTRY_VERIFY_WITH_TIMEOUT(logText(*m_window).count(started) == largest + 1 &&
                                     m_window->worker()->bytesRead > 0,
                                 WaitMs);
        QCOMPARE(widget<QLabel>("sendQueueLabel")->text(),
                 QStringLiteral("%1/%2").arg(largest + 1).arg(sizes.size()));
    }
    if (stop)
        widget<QPushButton>("stopSendBtn")->click();
    if (action == QLatin1String("link"))
        QVERIFY(m_sim.stop());
    if (add) {
        QVERIFY(WindowTest::dropUrls(*m_window, added));
        QCOMPARE(widget<QLabel>("sendQueueLabel")->text(),
                 stop ? QStringLiteral("1/1") : QStringLiteral("1/4"));
    }
    if (action.contains(QLatin1String("resume"))) {
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->sendQueue().sending(), 3 * WaitMs);
        const QList<QUrl> rest = add ? added : urls.mid(3);
        QStringList restPaths;
        for (const QUrl &url : rest)
            restPaths << url.toLocalFile();
        QCOMPARE(m_window->sendQueue().waiting(), restPaths);
        // The controller is inside the stopped file until it gives up on it.
        if (stop)
            QVERIFY(!m_sim.waitForLine(QStringLiteral("file timed out: ")).isNull());
        // A dialog would wait for good: the waiting files go without one.
        QTimer::singleShot(WaitMs, [] {
            if (QWidget *dialog = QApplication::activeModalWidget())
                dialog->close();
        });
        widget<QPushButton>("fileTransmitBtn")->click();
    }

    QTRY_COMPARE_WITH_TIMEOUT(queueStory(logText(*m_window)), story, 3 * WaitMs);
    // A notice soon after another waits its turn.
    QTRY_COMPARE_WITH_TIMEOUT(desktop.notices, notices, WaitMs);
    QCOMPARE(historyResults(), results);
    QVERIFY(widget<QLabel>("sendQueueLabel")->isHidden());
    QVERIFY(widget<QPushButton>("fileTransmitBtn")->isEnabled());
    for (const QString &name : arrived) {
        QCOMPARE(
            m_sim.waitForLine(QStringLiteral("file received: ")).section(QLatin1Char(' '), 2, 2),
            name);
        QCOMPARE(readFile(storeDir() + QLatin1Char('/') + name), contents.value(name));
    }
    QCOMPARE(
        QDir(storeDir()).entryList(QDir::Files).filter(QRegularExpression(QStringLiteral("^[^.]"))),
        arrived);
}

void tst_MainWindowTransfer::receivesFile_data()
{
    QTest::addColumn<QList<int>>("sizes");
    // How long the GUI thread stays busy once the first codes came.
    QTest::addColumn<int>("busyMs");

    QTest::newRow("3 MiB") << QList<int>{3 * MiB + 11} << 0;
    QTest::newRow("empty") << QList<int>{0} << 0;
    QTest::newRow("1 byte") << QList<int>{1} << 0;
    QTest::newRow("two back to back") << QList<int>{1000, 32} << 0;
    QList<int> fifty;
    for (int i = 0; i < 50; ++i)
        fifty << 100 + i * 37;
    QTest::newRow("50 back to back") << fifty << 0;
    // Reading waits for the window meanwhile: no stall of the controller's.
    QTest::newRow("8 MiB, window busy 3 s mid-file") << QList<int>{8 * MiB} << 3000;
}

// Each line must show the values of its own file, however late the window
// handles the codes.
void tst_MainWindowTransfer::receivesFile()
{
    QFETCH(QList<int>, sizes);
    QFETCH(int, busyMs);
    QStringList arguments;
    QList<QByteArray> contents;
    QStringList names;
    for (int i = 0; i < sizes.size(); ++i) {
        names << QStringLiteral("incoming-%1.bin").arg(i);
        contents << randomBytes(sizes.at(i), quint32(sizes.at(i)) + 5);
        QVERIFY(writeFile(outboxPath(names.last()), contents.last()));
        arguments << QStringLiteral("--send") << outboxPath(names.last());
    }
    QVERIFY2(startSim(arguments), qPrintable(m_sim.seenOutput()));
    QElapsedTimer clock;
    clock.start();

    QVERIFY(openBusyWindow(sizes.size(), busyMs));

    const QString done = QString::fromUtf8("接收完成!");
    QTRY_COMPARE_WITH_TIMEOUT(logText(*m_window).count(done), sizes.size(), 3 * WaitMs);
    const double maxSeconds = clock.elapsed() / 1000.0;
    QStringList lines;
    for (int i = 0; i < sizes.size(); ++i) {
        QCOMPARE(readFile(inboxDir() + QLatin1Char('/') + names.at(i)), contents.at(i));
        if (i > 0)
            lines << QString::fromUtf8("接收耗时:#.###s\n");
        lines << QString::fromUtf8("\n开始接收...") << done
              << QString::fromUtf8("文件接收大小:") + QString::number(sizes.at(i))
              << QString::fromUtf8("总接收Byte大小:") +
                     QString::number(wireSize(names.at(i), contents.at(i)));
    }
    QCOMPARE(QDir(inboxDir()).entryList(QDir::Files | QDir::Hidden).size(), sizes.size());
    const QString problem =
        logProblem(logText(*m_window).replace(
                       QRegularExpression(QString::fromUtf8("接收耗时:\\d+\\.\\d{3}s\n(?=\n\n)")),
                       QString::fromUtf8("接收耗时:#.###s\n")),
                   lines, QString::fromUtf8("接收耗时:"), minSecondsFor(sizes.last()), maxSeconds);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    QVERIFY(widget<QProgressBar>("recProgressBar")->isHidden());
    QVERIFY(widget<QLineEdit>("dirShowLineEdit")->isEnabled());
    QVERIFY(widget<QSpinBox>("spinBox_bufferSize")->isEnabled());
    QVERIFY(widget<QAction>("act_disconnect")->isEnabled());
    QCOMPARE(m_window->worker()->recvLink.load(), int(LinkNone));
    QCOMPARE(saveFilePath.get(), inboxDir());

    QStringList history;
    QStringList expectedHistory;
    for (const QStringList &entry : HistoryFile::entries(historyPath()))
        history << entry.mid(1, 7).join(QLatin1Char(' '));
    for (int i = 0; i < sizes.size(); ++i)
        expectedHistory << QStringLiteral("receive 127.0.0.1 8080 %1 %2 %3 ok")
                               .arg(names.at(i))
                               .arg(sizes.at(i))
                               .arg(QString::fromLatin1(md5Hex(contents.at(i))));
    QCOMPARE(history, expectedHistory);
}

// A flood of small files in one write keeps the window busy far longer than
// the stall rule allows; not one may be lost or end up as controller text.
void tst_MainWindowTransfer::manyTinyFilesInOneWrite()
{
    constexpr int files = 5000;
    const auto contents = [](int i) { return QByteArray::number(i * 7).repeated(400); };
    QByteArray stream;
    for (int i = 0; i < files; ++i)
        stream += framed(QStringLiteral("tiny-%1.txt").arg(i), contents(i));
    QVERIFY(writeFile(workPath(QStringLiteral("stream.bin")), stream));
    QVERIFY2(startSim({QStringLiteral("--send-raw"), workPath(QStringLiteral("stream.bin"))}),
             qPrintable(m_sim.seenOutput()));
    QVERIFY(openBusyWindow(files, 3000));

    const QDir inbox(inboxDir());
    QTRY_COMPARE_WITH_TIMEOUT(inbox.entryList(QDir::Files | QDir::Hidden).size(), files,
                              12 * WaitMs);
    // A lost file would leave a partial file behind and one short here.
    QCOMPARE(inbox.entryList(QDir::Files).size(), files);
    for (int i = 0; i < files; ++i)
        QCOMPARE(readFile(inbox.filePath(QStringLiteral("tiny-%1.txt").arg(i))), contents(i));
}

// A sparse file sent at 1 KiB a block, one block a millisecond at most, would
// take over 16 s: closing the window must cut it short and still save the
// settings.
void tst_MainWindowTransfer::closingDuringSendEndsItQuickly()
{
    constexpr qint64 bigSize = 16 * MiB;
    const QString name = QStringLiteral("big.bin");
    QFile big(outboxPath(name));
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(bigSize));
    big.close();
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QVERIFY2(openWindow(), qPrintable(m_sim.seenOutput()));
    widget<QSpinBox>("spinBox_bufferSize")->setValue(1024);
    QVERIFY(WindowTest::dropUrls(*m_window, {QUrl::fromLocalFile(outboxPath(name))}));
    auto *const sendBar = widget<QProgressBar>("sendProgressBar");
    QTRY_VERIFY_WITH_TIMEOUT(!sendBar->isHidden() && sendBar->value() > 0, WaitMs);

    QElapsedTimer clock;
    clock.start();
    m_window.reset();
    QVERIFY2(clock.elapsed() < 2000, QByteArray::number(clock.elapsed()).constData());

    const QString incomplete = m_sim.waitForLine(QStringLiteral("file incomplete: "));
    const QRegularExpressionMatch match =
        QRegularExpression(
            QStringLiteral("^file incomplete: big\\.bin \\((\\d+) of %1 bytes\\)$").arg(bigSize))
            .match(incomplete);
    QVERIFY2(match.hasMatch(), qPrintable(m_sim.seenOutput()));
    QVERIFY2(match.captured(1).toLongLong() < bigSize / 2, qPrintable(incomplete));
    const QSettings settings(settingsFilePath(), QSettings::IniFormat);
    // The switch stays off, so its key is not written.
    QCOMPARE(settings.allKeys().size(), 4);
    QCOMPARE(settings.value(QStringLiteral("saveFilePath")).toString(), outboxDir());
    QCOMPARE(settings.value(QStringLiteral("socketType")).toString(), QStringLiteral("client"));
    QCOMPARE(settings.value(QStringLiteral("serverAddress")).toString(),
             QStringLiteral("127.0.0.1"));
    QCOMPARE(settings.value(QStringLiteral("recentAddresses")).toStringList(),
             QStringList{QStringLiteral("127.0.0.1")});
}

// The controller restarts, as after a reboot: with the switch on the window
// waits its first second, is connected again without a click, and the file
// that the controller sends on connecting then arrives.
void tst_MainWindowTransfer::reconnectsWhenTheControllerIsBack()
{
    QVERIFY2(startSim(), qPrintable(m_sim.seenOutput()));
    QVERIFY2(openWindow(), qPrintable(m_sim.seenOutput()));
    widget<QAction>("act_autoReconnect")->setChecked(true);
    const QString name = QStringLiteral("after-reboot.txt");
    const QByteArray contents = QByteArrayLiteral("MOVJ P001 V=50\n");
    QVERIFY(writeFile(outboxPath(name), contents));

    QVERIFY(m_sim.stop());
    QTRY_COMPARE_WITH_TIMEOUT(widget<QLabel>("clientStateLabel")->text(), utf8("正在重连 (第1次)…"),
                              WaitMs);
    QElapsedTimer sinceDrop;
    sinceDrop.start();
    QVERIFY2(startSim({QStringLiteral("--send"), outboxPath(name)}),
             qPrintable(m_sim.seenOutput()));
    // The retries need the event loop: no blocking wait for the stand-in here.
    QTRY_COMPARE_WITH_TIMEOUT(widget<QLabel>("clientStateLabel")->text(), utf8("已建立连接"),
                              3 * WaitMs);
    // Never before the first wait is over.
    QVERIFY2(sinceDrop.elapsed() >= 1000, QByteArray::number(sinceDrop.elapsed()).constData());

    const QString received = inboxDir() + QLatin1Char('/') + name;
    QTRY_COMPARE_WITH_TIMEOUT(readFile(received), contents, WaitMs);
    const QString reconnected = connectedLine() + QLatin1Char('\n') +
                                utf8("已和KVR控制器断开连接\n\n开始自动重连\n") + connectedLine();
    QVERIFY2(logText(*m_window).startsWith(reconnected), qPrintable(logText(*m_window)));
}

QTEST_MAIN(tst_MainWindowTransfer)
#include "tst_mainwindowtransfer.moc"
