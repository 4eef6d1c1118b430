// The transfer list without a window: the history read back, its files in
// order and the lines it skips.

#include "testfiles.h"

#include "history/historyformat.h"
#include "history/historyreader.h"
#include "history/transferhistory.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QDateTime Base(QDate(2026, 12, 8), QTime(14, 3, 27), Qt::OffsetFromUTC, 8 * 3600);

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

HistoryEntry entryOf(const QString &fileName, const QString &outcome = QStringLiteral("done"),
                     const QString &direction = QStringLiteral("send"))
{
    const QString host = QStringLiteral("192.168.1.10");
    return {Base,    direction, host, 8080, fileName, 3000000, "0123456789abcdef0123456789abcdef",
            outcome, 1500};
}

// A line the writer makes, with one field put as given.
QByteArray lineWith(HistoryFormat::Column column, const QByteArray &value)
{
    QList<QByteArray> fields = HistoryFormat::lineOf(entryOf(QStringLiteral("x"))).split(',');
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
        HistoryEntry entry = entryOf(line);
        entry.time = Base.addSecs(second++);
        if (!line.startsWith(QLatin1Char('!')))
            QCOMPARE(history.append(entry), QString());
        else
            appendText(path, line.mid(1).toUtf8());
    }
}

} // namespace

class tst_TransferList : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void readsHistory_data();
    void readsHistory();
    void entryReadBack_data();
    void entryReadBack();

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_TransferList::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
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
    QByteArray lfLine = HistoryFormat::lineOf(entryOf(QStringLiteral("lf")));
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
    for (const HistoryEntry &entry : result.entries)
        names << entry.fileName;
    QCOMPARE(names, read);
    QCOMPARE(result.skipped, skipped);
    QCOMPARE(result.error, QString());
}

void tst_TransferList::entryReadBack_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("offsetMinutes");

    QTest::newRow("done, which the file calls ok") << QStringLiteral("done") << 480;
    QTest::newRow("digest mismatch, west of UTC") << QStringLiteral("digest-mismatch") << -210;
    QTest::newRow("another word, UTC") << QStringLiteral("timeout") << 0;
}

void tst_TransferList::entryReadBack()
{
    QFETCH(QString, outcome);
    QFETCH(int, offsetMinutes);
    HistoryEntry entry = entryOf(QStringLiteral("log.bin"), outcome, QStringLiteral("receive"));
    entry.time = QDateTime(Base.date(), Base.time(), Qt::OffsetFromUTC, offsetMinutes * 60);
    entry.port = 8081;
    entry.bytes = 7000000000ULL;
    entry.ms = 1234;
    QCOMPARE(TransferHistory(path(TransferHistory::FileName)).append(entry), QString());

    const HistoryReader::Result result = HistoryReader::read(path(TransferHistory::FileName));

    QCOMPARE(result.entries.size(), size_t(1));
    const HistoryEntry &back = result.entries.front();
    QCOMPARE(back.time, entry.time);
    QCOMPARE(back.direction, entry.direction);
    QCOMPARE(back.host, entry.host);
    QCOMPARE(back.port, entry.port);
    QCOMPARE(back.fileName, entry.fileName);
    QCOMPARE(back.bytes, entry.bytes);
    QCOMPARE(back.md5Hex, entry.md5Hex);
    QCOMPARE(back.outcome, entry.outcome);
    QCOMPARE(back.ms, entry.ms);
}

QTEST_GUILESS_MAIN(tst_TransferList)
#include "tst_transferlist.moc"
