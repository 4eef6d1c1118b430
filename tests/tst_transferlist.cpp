// The transfer list without a window: the history read back (its files in
// order, the lines it skips), the rows of each tab, the words of each
// outcome, and how often a running transfer's row changes. Every model is
// watched by QAbstractItemModelTester.

#include "historyfile.h"
#include "testfiles.h"

#include "client/transferlistmodel.h"
#include "history/historyformat.h"
#include "history/historyreader.h"
#include "history/transferhistory.h"

#include <QAbstractItemModelTester>
#include <QAbstractProxyModel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

using Tab = TransferListModel::Tab;

const QDateTime Base(QDate(2026, 12, 8), QTime(14, 3, 27), Qt::OffsetFromUTC, 8 * 3600);

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

using Direction = TransferRecord::Direction;

TransferRecord recordOf(const QString &fileName, const QString &outcome = QStringLiteral("done"),
                        Direction direction = Direction::Send)
{
    TransferRecord record;
    record.endTime = Base;
    record.direction = direction;
    record.host = QStringLiteral("192.168.1.10");
    record.port = 8080;
    record.fileName = fileName;
    record.bytes = 3000000;
    record.md5Hex = "0123456789abcdef0123456789abcdef";
    record.outcome = outcome;
    record.ms = 1500;
    return record;
}

Direction directionOf(const QString &word)
{
    return word == TransferRecord::word(Direction::Send) ? Direction::Send : Direction::Receive;
}

// A transfer just begun.
TransferRecord begun(const QString &fileName, Direction direction)
{
    TransferRecord record = recordOf(fileName, QString(), direction);
    record.bytes = 0;
    record.ms = 0;
    return record;
}

// A line the writer makes, with one field put as given.
QByteArray lineWith(HistoryFormat::Column column, const QByteArray &value)
{
    QList<QByteArray> fields = HistoryFormat::lineOf(recordOf(QStringLiteral("x"))).split(',');
    fields[column] = value;
    QByteArray line = fields.join(',');
    return column == HistoryFormat::Seconds ? line + "\r\n" : line;
}

void appendText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    QCOMPARE(file.write(text), qint64(text.size()));
}

// Lines of a history file, oldest first: a name is a line the history
// writes for a send of that name, ending a second after the one before;
// "!text" is text put into the file as it stands.
void writeLines(const QString &path, const QStringList &lines, int &second)
{
    TransferHistory history(path);
    for (const QString &line : lines) {
        TransferRecord record = recordOf(line);
        record.endTime = Base.addSecs(second++);
        if (!line.startsWith(QLatin1Char('!')))
            QCOMPARE(history.append(record), QString());
        else
            appendText(path, line.mid(1).toUtf8());
    }
}

// The list, with a tester on the model and on each tab.
struct List
{
    List()
    {
        for (Tab tab : {Tab::Queue, Tab::Failed, Tab::Done})
            testers.push_back(std::make_unique<QAbstractItemModelTester>(
                model.tab(tab), QAbstractItemModelTester::FailureReportingMode::QtTest));
    }

    // Each row of a tab as "方向 文件 结果".
    QStringList rows(Tab tab) const
    {
        const QAbstractItemModel *view = model.tab(tab);
        QStringList rows;
        for (int row = 0; row < view->rowCount(); ++row) {
            QStringList texts;
            for (int column :
                 {TransferListModel::Direction, TransferListModel::File, TransferListModel::Result})
                texts << view->index(row, column).data().toString();
            rows << texts.join(QLatin1Char(' '));
        }
        return rows;
    }

    TransferListModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
    std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
};

} // namespace

class tst_TransferList : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void readsHistory_data();
    void readsHistory();
    void recordReadBack_data();
    void recordReadBack();

    void outcomes_data();
    void outcomes();
    void rows_data();
    void rows();
    void progressCoalesced_data();
    void progressCoalesced();

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    void runStep(List &list, const QStringList &words);

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_history; // history.csv as the last step wrote it
};

void tst_TransferList::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_history.clear();
}

void tst_TransferList::readsHistory_data()
{
    QTest::addColumn<QStringList>("old");     // history.1.csv
    QTest::addColumn<QStringList>("current"); // history.csv
    QTest::addColumn<QStringList>("pending"); // history.pending.csv
    QTest::addColumn<int>("before");          // the run's second, from the first line's; -1 none
    QTest::addColumn<QStringList>("read");    // the names, newest first
    QTest::addColumn<int>("skipped");

    const auto raw = [](const QByteArray &line) -> QString {
        return QLatin1Char('!') + QString::fromUtf8(line);
    };
    const auto bad = [&](HistoryFormat::Column column, const QByteArray &value) {
        return QStringList{QStringLiteral("a"), raw(lineWith(column, value)), QStringLiteral("b")};
    };
    const QStringList ab{QStringLiteral("a"), QStringLiteral("b")};
    const QStringList ba{QStringLiteral("b"), QStringLiteral("a")};

    QTest::newRow("newest first across the files")
        << ab << QStringList{QStringLiteral("c"), QStringLiteral("d")}
        << QStringList{QStringLiteral("e")} << -1
        << QStringList{QStringLiteral("e"), QStringLiteral("d"), QStringLiteral("c"),
                       QStringLiteral("b"), QStringLiteral("a")}
        << 0;
    QTest::newRow("no history") << QStringList() << QStringList() << QStringList() << -1
                                << QStringList() << 0;
    QTest::newRow("quoted names come back")
        << QStringList()
        << QStringList{QStringLiteral("params,v2.txt"), QStringLiteral("say \"hi\""),
                       QStringLiteral("two\r\nlines"),  QStringLiteral("=SUM(A1)"),
                       QStringLiteral("'quoted"),       utf8(" 参数 文件.ini ")}
        << QStringList() << -1
        << QStringList{utf8(" 参数 文件.ini "),      QStringLiteral("'quoted"),
                       QStringLiteral("=SUM(A1)"),   QStringLiteral("two\r\nlines"),
                       QStringLiteral("say \"hi\""), QStringLiteral("params,v2.txt")}
        << 0;
    QTest::newRow("this run's lines are left out")
        << ab << QStringList{QStringLiteral("c"), QStringLiteral("d")} << QStringList() << 2 << ba
        << 0;
    QTest::newRow("line cut short")
        << QStringList()
        << QStringList{QStringLiteral("a"), QStringLiteral("!2026-12-08,send\r\n"),
                       QStringLiteral("b")}
        << QStringList() << -1 << ba << 1;
    QTest::newRow("stray quote") << QStringList() << bad(HistoryFormat::File, "fi\"le")
                                 << QStringList() << -1 << ba << 1;
    QTest::newRow("quote never closed, last line")
        << QStringList()
        << QStringList{QStringLiteral("a"), QStringLiteral("b"),
                       raw(lineWith(HistoryFormat::File, "\"open"))}
        << QStringList() << -1 << ba << 1;
    QTest::newRow("quote never closed, lines after it")
        << QStringList() << bad(HistoryFormat::Controller, "\"host") << QStringList() << -1 << ba
        << 1;
    QTest::newRow("bytes not a number")
        << QStringList() << bad(HistoryFormat::Bytes, "lots") << QStringList() << -1 << ba << 1;
    QTest::newRow("time without offset")
        << QStringList() << bad(HistoryFormat::Time, "2026-12-08T14:03:27") << QStringList() << -1
        << ba << 1;
    QTest::newRow("no such day") << QStringList()
                                 << bad(HistoryFormat::Time, "2026-02-30T14:03:27+08:00")
                                 << QStringList() << -1 << ba << 1;
    QTest::newRow("unknown direction") << QStringList() << bad(HistoryFormat::Direction, "upload")
                                       << QStringList() << -1 << ba << 1;
    QTest::newRow("port out of range")
        << QStringList() << bad(HistoryFormat::Port, "70000") << QStringList() << -1 << ba << 1;
    QTest::newRow("digest not hex")
        << QStringList() << bad(HistoryFormat::Md5, "xyz") << QStringList() << -1 << ba << 1;
    QTest::newRow("no result") << QStringList() << bad(HistoryFormat::Result, "") << QStringList()
                               << -1 << ba << 1;
    QTest::newRow("seconds below zero")
        << QStringList() << bad(HistoryFormat::Seconds, "-1") << QStringList() << -1 << ba << 1;
    QTest::newRow("a field too many") << QStringList() << bad(HistoryFormat::Seconds, "1.0,extra")
                                      << QStringList() << -1 << ba << 1;
    QTest::newRow("blank lines and a header between are no entries")
        << QStringList()
        << QStringList{QStringLiteral("a"), QStringLiteral("!\r\n"),
                       raw(HistoryFormat::head().mid(3)), QStringLiteral("b")}
        << QStringList() << -1 << ba << 0;
    QByteArray lfLine = HistoryFormat::lineOf(recordOf(QStringLiteral("lf")));
    lfLine.replace("\r\n", "\n");
    QTest::newRow("line ends of a Unix editor")
        << QStringList() << QStringList{QStringLiteral("a"), raw(lfLine)} << QStringList() << -1
        << QStringList{QStringLiteral("lf"), QStringLiteral("a")} << 0;
}

void tst_TransferList::readsHistory()
{
    QFETCH(QStringList, old);
    QFETCH(QStringList, current);
    QFETCH(QStringList, pending);
    QFETCH(int, before);
    QFETCH(QStringList, read);
    QFETCH(int, skipped);
    int second = 0;
    writeLines(path(TransferHistory::OldFileName), old, second);
    writeLines(path(TransferHistory::FileName), current, second);
    writeLines(path(TransferHistory::PendingFileName), pending, second);

    const HistoryReader::Result result = HistoryReader::read(
        path(TransferHistory::FileName), before < 0 ? QDateTime() : Base.addSecs(before));

    QStringList names;
    for (const TransferRecord &record : result.records)
        names << record.fileName;
    QCOMPARE(names, read);
    QCOMPARE(result.skipped, skipped);
    QCOMPARE(result.error, QString());
}

void tst_TransferList::recordReadBack_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("offsetMinutes");

    QTest::newRow("done, which the file calls ok") << QStringLiteral("done") << 480;
    QTest::newRow("digest mismatch, west of UTC") << QStringLiteral("digest-mismatch") << -210;
    QTest::newRow("another word, UTC") << QStringLiteral("timeout") << 0;
}

void tst_TransferList::recordReadBack()
{
    QFETCH(QString, outcome);
    QFETCH(int, offsetMinutes);
    TransferRecord record = recordOf(QStringLiteral("log.bin"), outcome, Direction::Receive);
    record.endTime = QDateTime(Base.date(), Base.time(), Qt::OffsetFromUTC, offsetMinutes * 60);
    record.port = 8081;
    record.bytes = 7000000000ULL;
    record.ms = 1234;
    QCOMPARE(TransferHistory(path(TransferHistory::FileName)).append(record), QString());

    const HistoryReader::Result result = HistoryReader::read(path(TransferHistory::FileName));

    QCOMPARE(result.records.size(), size_t(1));
    const TransferRecord &back = result.records.front();
    QCOMPARE(back.endTime, record.endTime);
    QCOMPARE(back.direction, record.direction);
    QCOMPARE(back.host, record.host);
    QCOMPARE(back.port, record.port);
    QCOMPARE(back.fileName, record.fileName);
    QCOMPARE(back.bytes, record.bytes);
    QCOMPARE(back.md5Hex, record.md5Hex);
    QCOMPARE(back.outcome, record.outcome);
    QCOMPARE(back.ms, record.ms);
}

void tst_TransferList::outcomes_data()
{
    QTest::addColumn<QString>("direction");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<QByteArray>("computed"); // of a digest that failed in this run
    QTest::addColumn<Tab>("tab");
    QTest::addColumn<QString>("result");

    const QString send = QStringLiteral("send");
    const QString receive = QStringLiteral("receive");
    const QByteArray md5 = "0123456789abcdef0123456789abcdef";
    const auto row = [&](const char *word, const QString &direction, Tab tab, const char *text) {
        QTest::newRow(word) << direction << QString::fromLatin1(word) << md5 << QByteArray() << tab
                            << utf8(text);
    };
    row("done", send, Tab::Done, "完成");
    row("size-mismatch", receive, Tab::Failed, "大小与声明不符, 未经 MD5 校验");
    row("connection-lost", send, Tab::Failed, "连接已断开");
    row("interrupted", send, Tab::Failed, "已被中断");
    row("incomplete", receive, Tab::Failed, "未接收完: 已停止等待");
    row("timeout", receive, Tab::Failed, "接收超时");
    row("open-failed", send, Tab::Failed, "打开文件失败");
    row("changed-during-send", send, Tab::Failed, "文件在发送中被修改");
    row("read-failed", send, Tab::Failed, "读取文件失败");
    row("program-file", receive, Tab::Failed, "拒绝接收: 不能覆盖本程序自己的文件");
    row("create-failed", receive, Tab::Failed, "创建文件失败");
    row("size-exceeded", receive, Tab::Failed, "远超声明的大小, 仍无结束标记");
    row("write-failed", receive, Tab::Failed, "写入文件失败");
    row("a word of a later version", receive, Tab::Failed, "a word of a later version");
    QTest::newRow("digest-mismatch of this run")
        << receive << QStringLiteral("digest-mismatch") << md5
        << QByteArray("fedcba9876543210fedcba9876543210") << Tab::Failed
        << utf8("MD5 校验失败: 声明 0123456789abcdef0123456789abcdef, 计算 "
                "fedcba9876543210fedcba9876543210");
    QTest::newRow("digest-mismatch of the history, which keeps neither")
        << receive << QStringLiteral("digest-mismatch") << QByteArray() << QByteArray()
        << Tab::Failed << utf8("MD5 校验失败: 声明 未记录, 计算 未记录");
}

void tst_TransferList::outcomes()
{
    QFETCH(QString, direction);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, md5);
    QFETCH(QByteArray, computed);
    QFETCH(Tab, tab);
    QFETCH(QString, result);
    List list;
    TransferRecord record = recordOf(QStringLiteral("f.bin"), outcome, directionOf(direction));
    record.md5Hex = computed.isEmpty() ? md5 : QByteArray();
    record.announcedMd5Hex = computed.isEmpty() ? QByteArray() : md5;
    record.computedMd5Hex = computed;

    list.model.addRecord(record);

    QCOMPARE(list.model.rowCount(), 1);
    QCOMPARE(list.model.tabOf(0), tab);
    QCOMPARE(list.model.tab(tab)->rowCount(), 1);
    const QString shownDirection = utf8(direction == QLatin1String("send") ? "发送" : "接收");
    QCOMPARE(list.rows(tab), QStringList{shownDirection + QStringLiteral(" f.bin ") + result});
}

void tst_TransferList::rows_data()
{
    // "queue a b" the files that wait; "send a 100", "receive r 0" one
    // begins, of that size; "move send 40" its bytes so far; "end send a
    // done" its record; "history x y" lines of history.csv, then loaded;
    // "remove done 0" the first row of a tab; "clear" what is done.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("queue");
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<QStringList>("done");

    QTest::newRow("the queue in order")
        << QStringLiteral("queue a b c")
        << QStringList{utf8("发送 a 等待发送"), utf8("发送 b 等待发送"), utf8("发送 c 等待发送")}
        << QStringList() << QStringList();
    QTest::newRow("the running send above the files that wait")
        << QStringLiteral("queue a b; queue b; send a 200; move send 50")
        << QStringList{utf8("发送 a 发送中 25%"), utf8("发送 b 等待发送")} << QStringList()
        << QStringList();
    QTest::newRow("a reception beside a send, its size unknown")
        << QStringLiteral("send a 100; receive r 0; move receive 5")
        << QStringList{utf8("发送 a 发送中 0%"), utf8("接收 r 接收中")} << QStringList()
        << QStringList();
    QTest::newRow("a queue run that stops at a failure")
        << QStringLiteral("queue a b c; queue b c; send a 10; end send a done; queue c; send b 10; "
                          "end send b connection-lost")
        << QStringList{utf8("发送 c 等待发送")} << QStringList{utf8("发送 b 连接已断开")}
        << QStringList{utf8("发送 a 完成")};
    QTest::newRow("a failed file queued again stays in its tab")
        << QStringLiteral("end send b read-failed; queue b") << QStringList{utf8("发送 b 等待发送")}
        << QStringList{utf8("发送 b 读取文件失败")} << QStringList();
    QTest::newRow("this run above the history, newest first")
        << QStringLiteral("history x y; end send a done; end receive b done") << QStringList()
        << QStringList()
        << QStringList{utf8("接收 b 完成"), utf8("发送 a 完成"), utf8("发送 y 完成"),
                       utf8("发送 x 完成")};
    QTest::newRow("history loaded late still goes below")
        << QStringLiteral("end send a done; history x y") << QStringList() << QStringList()
        << QStringList{utf8("发送 a 完成"), utf8("发送 y 完成"), utf8("发送 x 完成")};
    QTest::newRow("history loaded again replaces its rows")
        << QStringLiteral("history x; history y") << QStringList() << QStringList()
        << QStringList{utf8("发送 y 完成")};
    QTest::newRow("remove a row of this run and one of the history")
        << QStringLiteral("history x y; end send a done; remove done 0; remove done 1")
        << QStringList() << QStringList() << QStringList{utf8("发送 y 完成")};
    QTest::newRow("the queue's rows are not removed")
        << QStringLiteral("queue a; remove queue 0") << QStringList{utf8("发送 a 等待发送")}
        << QStringList() << QStringList();
    QTest::newRow("clear what is done, the failed stay")
        << QStringLiteral("history x; end send a done; end send b read-failed; end send c done; "
                          "queue d; clear")
        << QStringList{utf8("发送 d 等待发送")} << QStringList{utf8("发送 b 读取文件失败")}
        << QStringList();
    QStringList scattered;
    QStringList failedLeft;
    for (int i = 0; i < 20; ++i) {
        scattered << QStringLiteral("end send f%1 read-failed; end send d%1 done").arg(i);
        failedLeft.prepend(utf8("发送 f%1 读取文件失败").arg(i));
    }
    QTest::newRow("clear done rows scattered among many failed")
        << QStringLiteral("history x y; ") + scattered.join(QStringLiteral("; ")) +
               QStringLiteral("; clear")
        << QStringList() << failedLeft << QStringList();
}

void tst_TransferList::runStep(List &list, const QStringList &words)
{
    const QString &verb = words.at(0);
    if (verb == QLatin1String("queue")) {
        QStringList paths;
        for (const QString &name : words.mid(1))
            paths << m_dir->filePath(name);
        list.model.setWaiting(paths);
    } else if (verb == QLatin1String("send") || verb == QLatin1String("receive")) {
        TransferRecord record = begun(words.at(1), directionOf(verb));
        record.path = m_dir->filePath(words.at(1));
        list.model.transferStarted(record, words.at(2).toULongLong());
    } else if (verb == QLatin1String("move")) {
        list.model.transferMoved(directionOf(words.at(1)), words.at(2).toULongLong(), 10);
    } else if (verb == QLatin1String("end")) {
        list.model.addRecord(recordOf(words.at(2), words.at(3), directionOf(words.at(1))));
    } else if (verb == QLatin1String("history")) {
        HistoryFile::removeAll(path(TransferHistory::FileName));
        int second = 0;
        writeLines(path(TransferHistory::FileName), words.mid(1), second);
        m_history = TestFiles::readFile(path(TransferHistory::FileName));
        QSignalSpy loaded(&list.model, &TransferListModel::historyLoaded);
        list.model.loadHistory(path(TransferHistory::FileName), QDateTime());
        QVERIFY(loaded.wait());
    } else if (verb == QLatin1String("remove")) {
        const QMetaEnum tabs = QMetaEnum::fromType<Tab>();
        const QByteArray name = words.at(1).toLatin1();
        const QByteArray key = name.left(1).toUpper() + name.mid(1);
        auto *view = list.model.tab(Tab(tabs.keyToValue(key.constData())));
        list.model.remove(QModelIndexList{view->mapToSource(view->index(words.at(2).toInt(), 0))});
    } else if (verb == QLatin1String("clear")) {
        list.model.clearDone();
    }
}

void tst_TransferList::rows()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, queue);
    QFETCH(QStringList, failed);
    QFETCH(QStringList, done);
    List list;

    for (const QString &step : steps.split(QStringLiteral("; ")))
        runStep(list, step.split(QLatin1Char(' ')));

    QCOMPARE(list.rows(Tab::Queue), queue);
    QCOMPARE(list.rows(Tab::Failed), failed);
    QCOMPARE(list.rows(Tab::Done), done);
    // What was removed from the list is still in the history.
    QCOMPARE(TestFiles::readFile(path(TransferHistory::FileName)), m_history);
}

void tst_TransferList::progressCoalesced_data()
{
    // "burst send 1000": the send moves to 1 .. 1000 of its 1000 bytes at
    // once; "wait" until the rows change.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("queue");

    QTest::newRow("one move, one change")
        << QStringLiteral("burst send 1; wait")
        << QStringList{utf8("发送 a 发送中 0%"), utf8("接收 r 接收中 0%")};
    QTest::newRow("a burst, one change with the last share")
        << QStringLiteral("burst send 1000; wait")
        << QStringList{utf8("发送 a 发送中 100%"), utf8("接收 r 接收中 0%")};
    QTest::newRow("both sides in one change")
        << QStringLiteral("burst send 500; burst receive 250; wait")
        << QStringList{utf8("发送 a 发送中 50%"), utf8("接收 r 接收中 25%")};
    QTest::newRow("a change for each burst an update apart")
        << QStringLiteral("burst send 100; wait; burst send 900; wait")
        << QStringList{utf8("发送 a 发送中 90%"), utf8("接收 r 接收中 0%")};
}

void tst_TransferList::progressCoalesced()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, queue);
    List list;
    list.model.transferStarted(begun(QStringLiteral("a"), Direction::Send), 1000);
    list.model.transferStarted(begun(QStringLiteral("r"), Direction::Receive), 1000);
    QSignalSpy changed(&list.model, &QAbstractItemModel::dataChanged);
    int changes = 0;

    for (const QString &step : steps.split(QStringLiteral("; "))) {
        const QStringList words = step.split(QLatin1Char(' '));
        if (words.at(0) == QLatin1String("wait")) {
            ++changes;
            QTRY_COMPARE(changed.count(), changes);
            continue;
        }
        for (quint64 bytes = 1; bytes <= words.at(2).toULongLong(); ++bytes)
            list.model.transferMoved(directionOf(words.at(1)), bytes, qint64(bytes));
        QCOMPARE(changed.count(), changes);
    }

    QCOMPARE(list.rows(Tab::Queue), queue);
}

QTEST_GUILESS_MAIN(tst_TransferList)
#include "tst_transferlist.moc"
