// What the session tells of each end code, without a window or a server:
// the log lines, whether the transfer's progress still shows, which controls
// it locks, and the worker's link fields it resets; and what a retry from
// the transfer list does. Its worker is never started, so it never
// connects; only the fields and counters the session reads are used.

#include "chinesetext.h"
#include "client/clientsession.h"
#include "client/transferlistmodel.h"
#include "historyfile.h"
#include "net/sendthread.h"
#include "net/workercommands.h"
#include "settings/language.h"
#include "testfiles.h"

#include <QAbstractProxyModel>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

// Counters with values beyond 32 bits, each different, so a wrong or
// truncated one shows.
struct Figures
{
    quint64 size = 0;
    quint64 done = 0;
    quint64 wire = 0;
};
constexpr Figures Sent{7000000000ULL, 6000000001ULL, 6000000321ULL};
constexpr Figures Received{7000000000ULL, 6000000002ULL, 6000000654ULL};

// What a receive report may carry besides the figures.
struct Extras
{
    bool sizeMismatch = false;
    QString refusedName; // one of the program's own files
    QString savedAs;
    WriteFailure writeFailure = WriteFailure::None;
    ReceptionCut cut = ReceptionCut::Stall;
    QString result = {}; // the history's word for the file, when checked
    ExistingFile existing = ExistingFile::None;
};

SendEvent sendEvent(int code, Figures figures)
{
    return {code, figures.size, figures.done, figures.wire, 0, {}};
}

ReceiveEvent receiveEvent(int code, Figures figures, const Extras &extras = {})
{
    ReceiveEvent event;
    event.code = code;
    event.fileSize = figures.size;
    event.fileBytes = figures.done;
    event.totalBytes = figures.wire;
    event.rawText = QStringLiteral("abc");
    event.sizeMismatch = extras.sizeMismatch;
    event.fileName = extras.refusedName;
    event.programFile = !extras.refusedName.isEmpty();
    event.savedAs = extras.savedAs;
    event.writeFailure = extras.writeFailure;
    event.cut = extras.cut;
    event.existing = extras.existing;
    event.filePath = extras.savedAs.isEmpty() ? QStringLiteral("/in/f.bin") : extras.savedAs;
    return event;
}

// Each report is told as written, then in English.
const char *const Languages[] = {Language::Chinese, Language::English};

// As written, the log is exactly what the window always showed; in English
// it says as much, with no Chinese left in it.
void compareLog(const QString &actual, const QString &chinese)
{
    if (Language::current() == QLatin1String(Language::Chinese)) {
        QCOMPARE(actual, chinese);
        return;
    }
    QCOMPARE(actual.isEmpty(), chinese.isEmpty());
    QVERIFY2(!holdsChinese(actual), qUtf8Printable(actual));
}

QString historyBesideTest()
{
    QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/history.csv");
    HistoryFile::removeAll(path);
    return path;
}

// The session with what it said, as a window would have shown it.
class Fixture
{
public:
    Fixture()
    {
        QObject::connect(&session, &ClientSession::logLine, &session,
                         [this](const QString &line) { log << line; });
        QObject::connect(
            &session, &ClientSession::progressShown, &session,
            [this](ClientSession::Side side, bool shown) { running[int(side)] = shown; });
        QObject::connect(&session, &ClientSession::progressMoved, &session,
                         [this](ClientSession::Side, int value) { percent = value; });
        QObject::connect(
            &session, &ClientSession::transferControlsChanged, &session,
            [this](ClientSession::Side side, bool enabled) { locked[int(side)] = !enabled; });
    }

    // Every duration written as "#.###", so the log compares exactly.
    QString logText() const
    {
        static const QRegularExpression duration(QStringLiteral("(耗时:)(\\d+\\.\\d{3})s"));
        return log.join(QLatin1Char('\n')).replace(duration, QStringLiteral("\\1#.###s"));
    }

    sendThread worker;
    // Beside the test, where a window's history would be: under Wine no lock
    // file can be made in the temporary folder, so every line failed there.
    ClientSession session{&worker, historyBesideTest()};
    QStringList log;
    bool running[2] = {false, false}; // by Side
    bool locked[2] = {false, false};
    int percent = -1; // none shown
};

constexpr int Send = int(ClientSession::Side::Send);
constexpr int Receive = int(ClientSession::Side::Receive);

void addPercentageRows()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    // -1: the bar keeps what it showed.
    QTest::addColumn<int>("value");
    QTest::newRow("quarter") << quint64(1) << quint64(4) << 25;
    QTest::newRow("third, truncated") << quint64(1) << quint64(3) << 33;
    QTest::newRow("two thirds, truncated") << quint64(2) << quint64(3) << 66;
    QTest::newRow("just short of all") << quint64(999) << quint64(1000) << 99;
    QTest::newRow("nothing yet") << quint64(0) << quint64(10) << 0;
    QTest::newRow("all") << quint64(10) << quint64(10) << 100;
    QTest::newRow("beyond 32 bits") << 6000000000ULL << 8000000000ULL << 75;
    QTest::newRow("zero total") << quint64(5) << quint64(0) << -1;
    QTest::newRow("zero of zero") << quint64(0) << quint64(0) << -1;
    QTest::newRow("more than announced") << quint64(101) << quint64(100) << -1;
}

} // namespace

Q_DECLARE_METATYPE(Extras)
Q_DECLARE_METATYPE(SendPace)

class tst_ClientSession : public QObject
{
    Q_OBJECT

private slots:
    // A failed row must not leave the next ones in English.
    void cleanup() { Language::install(QLatin1String(Language::Chinese)); }
    void sendStates_data();
    void sendStates();
    void receiveStates_data();
    void receiveStates();
    void sendPercentage_data() { addPercentageRows(); }
    void sendPercentage();
    void receivePercentage_data() { addPercentageRows(); }
    void receivePercentage();
    void retry_data();
    void retry();
    void localReceiver_data();
    void localReceiver();
    void sendRuns_data();
    void sendRuns();
};

void tst_ClientSession::sendStates_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("ends");

    QTest::newRow("done") << int(TransDone) << true
                          << utf8("传送完成!\n发送文件大小:6000000001\n"
                                  "总发送字节大小:6000000321\n发送耗时:#.###s\n")
                          << true;
    QTest::newRow("progress") << int(TransProgress) << true << QString() << false;
    QTest::newRow("13") << 13 << true << QString() << false;
    QTest::newRow("aborted") << int(TransAborted) << true << utf8("传送已被强制中断!\n") << true;
    QTest::newRow("disconnected") << int(TransDisconnected) << true << utf8("连接已断开,传送中断!")
                                  << true;
    QTest::newRow("open failed") << int(TransOpenFailed) << true << utf8("打开文件失败，传送中断\n")
                                 << true;
    QTest::newRow("open failed without start")
        << int(TransOpenFailed) << false << utf8("打开文件失败，传送中断\n") << true;
    QTest::newRow("read failed") << int(TransReadFailed) << true << utf8("读取文件失败，传送中断\n")
                                 << true;
    QTest::newRow("changed during the send")
        << int(TransChanged) << true << utf8("文件在发送中被修改,传送失败!\n") << true;
    QTest::newRow("receive code 0") << 0 << true << QString() << false;
    QTest::newRow("unknown 19") << 19 << true << QString() << false;
}

void tst_ClientSession::sendStates()
{
    QFETCH(int, code);
    QFETCH(bool, started);
    QFETCH(QString, log);
    QFETCH(bool, ends);
    for (const char *language : Languages) {
        QVERIFY(Language::install(QLatin1String(language)));
        Fixture f;
        f.worker.sendLink = LinkClient;
        if (started)
            f.session.sendEventArrived(sendEvent(TransStarted, Sent));
        f.log.clear();

        f.session.sendEventArrived(sendEvent(code, Sent));
        compareLog(f.logText(), log);
        const bool running = started && !ends;
        QCOMPARE(f.running[Send], running);
        QCOMPARE(f.locked[Send], running);
        QCOMPARE(f.worker.sendLink.load(), int(ends ? LinkNone : LinkClient));
        QVERIFY(!f.running[Receive]);
    }
}

void tst_ClientSession::receiveStates_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QString>("log");
    QTest::addColumn<bool>("ends");
    QTest::addColumn<Extras>("extras");

    QTest::newRow("done") << int(RecDone) << true
                          << utf8("接收完成!\n文件接收大小:6000000002\n"
                                  "总接收Byte大小:6000000654\n接收耗时:#.###s\n")
                          << true << Extras();
    QTest::newRow("done without md5, another size")
        << int(RecDone) << true
        << utf8("接收完成!\n文件接收大小:6000000002\n总接收Byte大小:6000000654\n接收耗时:#.###s\n\n"
                "文件大小不符: 收到 6000000002, 声明 7000000000")
        << true << Extras{true, QString(), QString()};
    QTest::newRow("create failed, a program file")
        << int(RecCreateFailed) << false
        << utf8("创建文件失败,接收失败!\n\n拒绝接收 Qt5Core.dll: 不能覆盖本程序自己的文件") << false
        << Extras{false, QStringLiteral("Qt5Core.dll"), QString()};
    QTest::newRow("done under a free name")
        << int(RecDone) << true
        << utf8("接收完成!\n文件接收大小:6000000002\n总接收Byte大小:6000000654\n接收耗时:#.###s\n\n"
                "文件名已被占用,已另存为: ") +
               QDir::toNativeSeparators(QStringLiteral("/in/f (1).bin"))
        << true << Extras{false, QString(), QStringLiteral("/in/f (1).bin")};
    const QString doneLines =
        utf8("接收完成!\n文件接收大小:6000000002\n总接收Byte大小:6000000654\n接收耗时:#.###s\n\n");
    const QString own = QDir::toNativeSeparators(QStringLiteral("/in/f.bin"));
    const QString beside = QDir::toNativeSeparators(QStringLiteral("/in/f (1).bin"));
    QTest::newRow("done, the same as the file there")
        << int(RecDone) << true << doneLines + utf8("与已有文件相同 (MD5 一致), 未重复保存: ") + own
        << true
        << Extras{
               false, {}, {}, {}, {}, QStringLiteral("skipped-identical"), ExistingFile::Identical};
    QTest::newRow("done, both kept")
        << int(RecDone) << true << doneLines + utf8("已保留同名的原文件, 新文件另存为: ") + beside
        << true << Extras{false,
                          {},
                          QStringLiteral("/in/f (1).bin"),
                          {},
                          {},
                          QStringLiteral("ok"),
                          ExistingFile::KeptBoth};
    QTest::newRow("done, both kept for want of a digest")
        << int(RecDone) << true
        << doneLines + utf8("文件未带 MD5, 无法判断是否与原文件相同: 两者都保留, 新文件另存为: ") +
               beside
        << true << Extras{false, {}, QStringLiteral("/in/f (1).bin"), {},
                          {},    {}, ExistingFile::KeptBothUnverified};
    QTest::newRow("write failed, verified file kept")
        << int(RecWriteFailed) << true
        << utf8("写入文件失败,接收中断!\n\n已校验的文件保留在: ") +
               QDir::toNativeSeparators(QStringLiteral("/in/.f.bin.a1B2c3.part"))
        << true << Extras{false, QString(), QStringLiteral("/in/.f.bin.a1B2c3.part")};
    QTest::newRow("progress") << int(RecProgress) << true << QString() << false << Extras();
    // The file was never opened: nothing to end.
    QTest::newRow("create failed")
        << int(RecCreateFailed) << true << utf8("创建文件失败,接收失败!\n") << false << Extras();
    QTest::newRow("create failed without start")
        << int(RecCreateFailed) << false << utf8("创建文件失败,接收失败!\n") << false << Extras();
    QTest::newRow("timeout") << int(RecTimeout) << true << utf8("接收超时，已强制中断!\n") << true
                             << Extras{false, {}, {}, {}, {}, QStringLiteral("timeout")};
    QTest::newRow("timeout, the connection ended")
        << int(RecTimeout) << true << utf8("接收超时，已强制中断!\n") << true
        << Extras{false, {}, {}, {}, ReceptionCut::StreamEnded, QStringLiteral("connection-lost")};
    QTest::newRow("timeout, stopped by the user")
        << int(RecTimeout) << true << utf8("已停止接收，未完成的文件已删除") << true
        << Extras{false, {}, {}, {}, ReceptionCut::Stopped, QStringLiteral("interrupted")};
    QTest::newRow("raw data") << int(RecRawData) << true << QStringLiteral("[in] abc") << false
                              << Extras();
    QTest::newRow("md5 mismatch") << int(RecMd5Mismatch) << true
                                  << utf8("文件MD5校验失败,接收失败!\n") << true << Extras();
    QTest::newRow("write failed") << int(RecWriteFailed) << true << utf8("写入文件失败,接收中断!\n")
                                  << true << Extras();
    QTest::newRow("write failed, far past the size announced")
        << int(RecWriteFailed) << true
        << utf8("写入文件失败,接收中断!\n\n已收到 6000000002 字节, 远超声明的 7000000000, "
                "仍无结束标记: 已删除部分文件")
        << true << Extras{false, QString(), QString(), WriteFailure::PastAnnouncedSize};
    QTest::newRow("write failed, the disk's last space")
        << int(RecWriteFailed) << true
        << utf8("写入文件失败,接收中断!\n\n磁盘剩余空间不足, 为保留磁盘最后的空间已停止接收: "
                "已删除部分文件")
        << true << Extras{false, QString(), QString(), WriteFailure::FreeSpace};
    QTest::newRow("unknown 8") << 8 << true << QString() << false << Extras();
    QTest::newRow("send code 11") << int(TransDone) << true << QString() << false << Extras();
}

void tst_ClientSession::receiveStates()
{
    QFETCH(int, code);
    QFETCH(bool, started);
    QFETCH(QString, log);
    QFETCH(bool, ends);
    QFETCH(Extras, extras);
    for (const char *language : Languages) {
        QVERIFY(Language::install(QLatin1String(language)));
        Fixture f;
        f.worker.recvLink = LinkClient;
        if (started)
            f.session.receiveEventArrived(receiveEvent(RecStarted, Received));
        f.log.clear();

        f.session.receiveEventArrived(receiveEvent(code, Received, extras));
        compareLog(f.logText(), log);
        const bool running = started && !ends;
        QCOMPARE(f.running[Receive], running);
        QCOMPARE(f.locked[Receive], running);
        QCOMPARE(f.worker.recvLink.load(), int(ends ? LinkNone : LinkClient));
        QVERIFY(!f.running[Send]);
        // The history's words are the same in every language.
        if (!extras.result.isEmpty()) {
            const QList<QStringList> history = HistoryFile::entries(f.session.historyPath());
            QCOMPARE(history.size(), 1);
            QCOMPARE(HistoryFile::value(history.first(), "result"), extras.result);
        }
    }
}

void tst_ClientSession::sendPercentage()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(int, value);
    Fixture f;
    f.session.sendEventArrived(sendEvent(TransProgress, {total, done, 0}));
    QCOMPARE(f.percent, value);
}

void tst_ClientSession::receivePercentage()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(int, value);
    Fixture f;
    f.session.receiveEventArrived(receiveEvent(RecProgress, {total, done, 0}));
    QCOMPARE(f.percent, value);
}

void tst_ClientSession::retry_data()
{
    // "files a b": files in a folder; "send a b": sent, the first handed
    // over; "end open" its end code; "receive r": a reception begins, "end
    // timeout" ends it; "remove a": the file goes; "retry a b": those rows
    // of "失败", "retry all" all of it.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("queue");  // names in "队列"
    QTest::addColumn<QStringList>("failed"); // names in "失败"
    QTest::addColumn<QStringList>("told");   // the log from the first retry on

    const QStringList a{QStringLiteral("a")};
    const QString unconnected = utf8("未建立连接，传送失败!");
    QTest::newRow("a failed send goes before the files that waited after it")
        << QStringLiteral("files a b c; send a b c; end open; retry a")
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}
        << QStringList() << QStringList{unconnected};
    QTest::newRow("a file gone is refused and stays")
        << QStringLiteral("files a b; send a b; end open; remove a; retry a")
        << QStringList{QStringLiteral("b")} << a << QStringList{utf8("无法重试, 文件已不存在: a")};
    QTest::newRow("a failed reception is for the controller to send again")
        << QStringLiteral("receive r; end timeout; retry r") << QStringList()
        << QStringList{QStringLiteral("r")}
        << QStringList{utf8("接收失败的文件无法从本机重试, 请让控制器重新发送: r")};
    QTest::newRow("all, oldest first, without the receptions")
        << QStringLiteral("files a b; send a; end open; receive r; end timeout; send b; end lost; "
                          "retry all")
        << QStringList{QStringLiteral("a"), QStringLiteral("b")} << QStringList{QStringLiteral("r")}
        << QStringList{unconnected};
}

// The rule behind "重试": every failed send that can still be read joins
// the queue, ahead of what waited; what cannot is told and stays.
void tst_ClientSession::retry()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, queue);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, told);
    QTemporaryDir dir;
    Fixture f;
    TransferListModel &list = *f.session.transferList();
    const auto rowsOf = [&list](TransferListModel::Tab tab) {
        QAbstractProxyModel *view = list.tab(tab);
        QStringList names;
        QModelIndexList rows;
        for (int row = 0; row < view->rowCount(); ++row) {
            names << view->index(row, TransferListModel::File).data().toString();
            rows << view->mapToSource(view->index(row, 0));
        }
        return std::make_pair(names, rows);
    };
    int logged = -1;
    QString receiving;
    const auto reception = [&receiving](int code) {
        ReceiveEvent event = receiveEvent(code, Received);
        event.fileName = receiving;
        return event;
    };
    for (const QString &step : steps.split(QStringLiteral("; "))) {
        const QStringList words = step.split(QLatin1Char(' '));
        QStringList paths;
        for (const QString &name : words.mid(1))
            paths << dir.filePath(name);
        const QString &verb = words.at(0);
        if (verb == QLatin1String("files")) {
            for (const QString &path : paths)
                QVERIFY(TestFiles::writeFile(path, "contents"));
        } else if (verb == QLatin1String("send")) {
            f.session.send(paths);
        } else if (verb == QLatin1String("receive")) {
            receiving = words.at(1);
            f.session.receiveEventArrived(reception(RecStarted));
        } else if (verb == QLatin1String("end")) {
            const QMap<QString, int> codes{{QStringLiteral("open"), TransOpenFailed},
                                           {QStringLiteral("lost"), TransDisconnected}};
            if (codes.contains(words.at(1)))
                f.session.sendEventArrived(sendEvent(codes.value(words.at(1)), Sent));
            else
                f.session.receiveEventArrived(reception(RecTimeout));
        } else if (verb == QLatin1String("remove")) {
            QVERIFY(QFile::remove(paths.at(0)));
        } else if (words.at(1) == QLatin1String("all")) {
            logged = logged < 0 ? f.log.size() : logged;
            f.session.retryAll();
        } else {
            logged = logged < 0 ? f.log.size() : logged;
            const auto [names, rows] = rowsOf(TransferListModel::Tab::Failed);
            QModelIndexList picked;
            for (const QString &name : words.mid(1))
                picked << rows.value(int(names.indexOf(name)));
            f.session.retry(picked);
        }
    }

    QCOMPARE(rowsOf(TransferListModel::Tab::Queue).first, queue);
    QCOMPARE(rowsOf(TransferListModel::Tab::Failed).first, failed);
    QCOMPARE(f.log.mid(logged), told);
}

void tst_ClientSession::sendRuns_data()
{
    // "send a b": the files are sent; "done": the file out ends; "held": no
    // file is out and the run goes on; "next": the next file goes, once the
    // pause is over; "stop", and "quiet": no file goes for a while.
    QTest::addColumn<SendPace>("pace");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("told"); // the lines of pace and place
    QTest::addColumn<int>("sends");        // CmdSendFile

    const auto place = [](int number, int total, const char *name) {
        return utf8("[%1/%2] 开始传送 %3").arg(number).arg(total).arg(QLatin1String(name));
    };
    const QString full = utf8("发送速度: 全速");
    QTest::newRow("paced: nothing told") << SendPace() << 0 << QStringLiteral("send a b; done")
                                         << QStringList{place(1, 2, "a"), place(2, 2, "b")} << 2;
    QTest::newRow("full: told once a run")
        << SendPace::full() << 0 << QStringLiteral("send a b; done; done; send c")
        << QStringList{full, place(1, 2, "a"), place(2, 2, "b"), full} << 3;
    QTest::newRow("a cap") << SendPace::cap(2.5) << 0 << QStringLiteral("send a")
                           << QStringList{utf8("发送速度: 限速 2.5 MB/s")} << 1;
    QTest::newRow("a gap holds the next file")
        << SendPace() << 50 << QStringLiteral("send a b; done; held; send c; next; done; next")
        << QStringList{place(1, 2, "a"), place(2, 3, "b"), place(3, 3, "c")} << 3;
    QTest::newRow("a stop cuts the gap short")
        << SendPace() << 50 << QStringLiteral("send a b c; done; held; stop; quiet")
        << QStringList{place(1, 3, "a")} << 1;
}

// A run of the queue: the pace it goes at is told once at its start, and
// the files of a run wait the pause between files, which a stop ends.
void tst_ClientSession::sendRuns()
{
    QFETCH(SendPace, pace);
    QFETCH(int, gapMs);
    QFETCH(QString, steps);
    QFETCH(QStringList, told);
    QFETCH(int, sends);
    QTemporaryDir dir;
    Fixture f;
    int sent = 0;
    QObject::connect(&f.session, &ClientSession::command, &f.session, [&sent](int cmd) {
        if (cmd == CmdSendFile)
            ++sent;
    });
    f.session.setSendPace(pace);
    f.session.setFileGap(gapMs);
    for (const QString &step : steps.split(QStringLiteral("; "))) {
        const QStringList words = step.split(QLatin1Char(' '));
        const int before = sent;
        if (words.at(0) == QLatin1String("send")) {
            QStringList paths;
            for (const QString &name : words.mid(1)) {
                paths << dir.filePath(name);
                QVERIFY(TestFiles::writeFile(paths.last(), "contents"));
            }
            f.session.queue(paths);
            // Not connected: queue() waits for readyToSend, send() does not.
            if (!f.session.sendQueue().running())
                f.session.send({});
        } else if (step == QLatin1String("done")) {
            f.session.sendEventArrived(sendEvent(TransStarted, Sent));
            f.session.sendEventArrived(sendEvent(TransDone, Sent));
        } else if (step == QLatin1String("held")) {
            QVERIFY(f.session.sendQueue().running() && !f.session.sendQueue().sending());
            QVERIFY(!f.session.readyToSend());
        } else if (step == QLatin1String("next")) {
            QTRY_COMPARE(sent, before + 1);
        } else if (step == QLatin1String("stop")) {
            f.session.stop();
        } else {
            QSignalSpy commands(&f.session, &ClientSession::command);
            QVERIFY(!commands.wait(4 * gapMs));
        }
    }
    QStringList lines;
    for (const QString &line : qAsConst(f.log)) {
        if (line.contains(utf8("发送速度")) || line.contains(utf8("开始传送 ")))
            lines << line;
    }
    QCOMPARE(lines, told);
    QCOMPARE(sent, sends);
    QVERIFY(f.worker.sendPace.get() == pace);
}

void tst_ClientSession::localReceiver_data()
{
    QTest::addColumn<QStringList>("held"); // by the PC's receiver services
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("warned");

    QTest::newRow("no service") << QStringList() << QStringLiteral("10.0.0.5") << false;
    QTest::newRow("a service holds this controller")
        << QStringList{QStringLiteral("10.0.0.6"), QStringLiteral("10.0.0.5")}
        << QStringLiteral(" 10.0.0.5 ") << true;
    QTest::newRow("a name in other letters")
        << QStringList{QStringLiteral("kvr-a")} << QStringLiteral("KVR-A") << true;
    QTest::newRow("another controller")
        << QStringList{QStringLiteral("10.0.0.6")} << QStringLiteral("10.0.0.5") << false;
}

// A service that holds the controller would take its files, or the
// connection, from the window: the user is told at the connect.
void tst_ClientSession::localReceiver()
{
    QFETCH(QStringList, held);
    QFETCH(QString, address);
    QFETCH(bool, warned);
    Fixture f;
    f.session.setLocalReceivers([held] { return held; });
    f.session.connectTo(address);
    QCOMPARE(f.logText().contains(utf8("本机的文件接收服务")), warned);
}

QTEST_GUILESS_MAIN(tst_ClientSession)
#include "tst_clientsession.moc"
