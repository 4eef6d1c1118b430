// history.csv as the window and kvr-transfer write it: the word for each
// end code, the record made of an end event, each field as a spreadsheet
// reads it back, the roll-over at 10 MiB, a history that cannot be
// written, and several writers at once. A full disk and a file held open
// elsewhere come from a HistoryDisk that fails on demand.

#include "historyfile.h"
#include "testfiles.h"

#include "history/transferhistory.h"

#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

TransferRecord sampleRecord(const QString &fileName = QStringLiteral("program.bin"))
{
    TransferRecord record;
    record.endTime = QDateTime(QDate(2026, 12, 8), QTime(14, 3, 27), Qt::OffsetFromUTC, 8 * 3600);
    record.direction = TransferRecord::Direction::Send;
    record.host = QStringLiteral("192.168.1.10");
    record.port = 8080;
    record.fileName = fileName;
    record.bytes = 3000000;
    record.md5Hex = "0123456789ABCDEF0123456789abcdef";
    record.outcome = QStringLiteral("done");
    record.ms = 1234;
    return record;
}

using Reception = TransferOutcome::Reception;
using Cut = TransferOutcome::Cut;

// Each figure of an event different, so a field taken from the wrong one
// shows.
SendEvent sendEvent(int code)
{
    return {code, 7000000000ULL, 6000000001ULL, 6000000321ULL, 1234, "0123456789abcdef"};
}

// As the receiver reports the code: a name refused has no path, a file
// stored under a free name lies there, the digest announced comes with
// RecDone and RecMd5Mismatch, and the one computed with the latter.
ReceiveEvent receiveEvent(int code, const QString &savedAs)
{
    ReceiveEvent event;
    event.code = code;
    event.fileSize = 7000000000ULL;
    event.fileBytes = 6000000002ULL;
    event.totalBytes = 6000000654ULL;
    event.elapsedMs = 4321;
    event.fileName = QStringLiteral("f.bin");
    event.filePath =
        code == RecCreateFailed
            ? QString()
            : (code == RecDone && !savedAs.isEmpty() ? savedAs : QStringLiteral("/in/f.bin"));
    event.savedAs = savedAs;
    event.md5Hex = code == RecDone || code == RecMd5Mismatch ? "0123456789abcdef" : "";
    event.computedMd5Hex = code == RecMd5Mismatch ? "fedcba9876543210" : "";
    event.writeFailure = code == RecWriteFailed ? WriteFailure::Disk : WriteFailure::None;
    return event;
}

// Fails as a full disk does, part way into a write, or as a file that a
// spreadsheet holds open without sharing it for writing.
class FailingDisk : public HistoryDisk
{
public:
    QStringList full;
    QStringList held;
    qint64 bytesBeforeFull = 40;
    // What a writer saw before another one rolled the file over.
    mutable qint64 staleSize = -2;
    std::function<void()> afterRename;

    qint64 size(const QString &path) const override
    {
        if (staleSize >= -1)
            return std::exchange(staleSize, -2);
        return HistoryDisk::size(path);
    }
    bool rename(const QString &from, const QString &to) override
    {
        const bool renamed = HistoryDisk::rename(from, to);
        if (afterRename)
            std::exchange(afterRename, nullptr)();
        return renamed;
    }
    QString open(const QString &path, bool mayCreate) override
    {
        m_open = path;
        if (held.contains(path))
            return QStringLiteral("held open elsewhere");
        return HistoryDisk::open(path, mayCreate);
    }
    qint64 write(const QByteArray &bytes) override
    {
        m_full = full.contains(m_open);
        return HistoryDisk::write(m_full ? bytes.left(int(bytesBeforeFull)) : bytes);
    }
    QString errorString() const override
    {
        return m_full ? QStringLiteral("No space left on device") : HistoryDisk::errorString();
    }

private:
    QString m_open;
    bool m_full = false;
};

} // namespace

Q_DECLARE_METATYPE(TransferOutcome::Reception)

class tst_TransferHistory : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void outcomeWords_data();
    void outcomeWords();
    void recordOfEvent_data();
    void recordOfEvent();

    void fieldsReadBack_data();
    void fieldsReadBack();
    void rollsOver_data();
    void rollsOver();
    void unwritableToldOnce();
    void keptUntilWritable_data();
    void keptUntilWritable();
    void writersAtOnce_data();
    void writersAtOnce();

private:
    QString historyPath() const { return m_dir->filePath(QStringLiteral("history.csv")); }
    QString oldPath() const { return m_dir->filePath(QStringLiteral("history.1.csv")); }
    QString pendingPath() const { return m_dir->filePath(QStringLiteral("history.pending.csv")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_TransferHistory::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_TransferHistory::outcomeWords_data()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<Reception>("reception"); // of a send, the code alone
    QTest::addColumn<QString>("word");

    const auto row = [](const char *name, bool send, Reception reception, const char *word) {
        QTest::newRow(name) << send << reception << QString::fromLatin1(word);
    };
    row("sent", true, {TransDone}, "done");
    row("send stopped", true, {TransAborted}, "interrupted");
    row("send lost", true, {TransDisconnected}, "connection-lost");
    row("send not opened", true, {TransOpenFailed}, "open-failed");
    row("send changed", true, {TransChanged}, "changed-during-send");
    row("send not read", true, {TransReadFailed}, "read-failed");
    row("received", false, {RecDone}, "done");
    row("received, another size", false, {RecDone, true}, "size-mismatch");
    row("the same as the file there", false,
        {RecDone, false, false, Cut::Stall, WriteFailure::None, true}, "skipped-identical");
    row("digest mismatch", false, {RecMd5Mismatch}, "digest-mismatch");
    row("stalled", false, {RecTimeout}, "timeout");
    row("peer closed", false, {RecTimeout, false, false, Cut::PeerClosed}, "connection-lost");
    row("wait ended", false, {RecTimeout, false, false, Cut::WaitEnded}, "incomplete");
    row("interrupted", false, {RecTimeout, false, false, Cut::Interrupted}, "interrupted");
    row("not created", false, {RecCreateFailed}, "create-failed");
    row("a program file", false, {RecCreateFailed, false, true}, "program-file");
    row("not written", false, {RecWriteFailed}, "write-failed");
    row("far past its size", false,
        {RecWriteFailed, false, false, Cut::Stall, WriteFailure::PastAnnouncedSize},
        "size-exceeded");
}

void tst_TransferHistory::outcomeWords()
{
    QFETCH(bool, send);
    QFETCH(Reception, reception);
    QFETCH(QString, word);
    QCOMPARE(send ? TransferOutcome::ofSend(reception.code)
                  : TransferOutcome::ofReception(reception),
             word);
}

void tst_TransferHistory::recordOfEvent_data()
{
    QTest::addColumn<bool>("send");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("cut");
    QTest::addColumn<QString>("savedAs");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("path"); // where the file lies

    const QString sent = QFileInfo(QStringLiteral("out/f.bin")).absoluteFilePath();
    const QString own = QStringLiteral("/in/f.bin");
    const QString free = QStringLiteral("/in/f (1).bin");
    const QString part = QStringLiteral("/in/.f.bin.a1B2c3.part");
    const int stall = int(Cut::Stall);
    QTest::newRow("sent") << true << int(TransDone) << stall << QString() << "done" << sent;
    QTest::newRow("send lost") << true << int(TransDisconnected) << stall << QString()
                               << "connection-lost" << sent;
    QTest::newRow("received") << false << int(RecDone) << stall << QString() << "done" << own;
    QTest::newRow("under a free name") << false << int(RecDone) << stall << free << "done" << free;
    QTest::newRow("verified, not stored")
        << false << int(RecWriteFailed) << stall << part << "write-failed" << part;
    QTest::newRow("digest mismatch")
        << false << int(RecMd5Mismatch) << stall << QString() << "digest-mismatch" << own;
    QTest::newRow("stalled") << false << int(RecTimeout) << stall << QString() << "timeout" << own;
    QTest::newRow("peer closed") << false << int(RecTimeout) << int(Cut::PeerClosed) << QString()
                                 << "connection-lost" << own;
    QTest::newRow("interrupted") << false << int(RecTimeout) << int(Cut::Interrupted) << QString()
                                 << "interrupted" << own;
    QTest::newRow("name refused") << false << int(RecCreateFailed) << stall << QString()
                                  << "create-failed" << QString();
}

// Every field from the event it ends, the host and port from the caller.
void tst_TransferHistory::recordOfEvent()
{
    QFETCH(bool, send);
    QFETCH(int, code);
    QFETCH(int, cut);
    QFETCH(QString, savedAs);
    QFETCH(QString, outcome);
    QFETCH(QString, path);
    const QString host = QStringLiteral("192.168.1.10");
    const SendEvent sent = sendEvent(code);
    const ReceiveEvent received = receiveEvent(code, savedAs);

    const QDateTime before = QDateTime::currentDateTime();
    const TransferRecord record =
        send ? TransferRecord::ofSend(sent, QStringLiteral("out/f.bin"), host, 8081)
             : TransferRecord::ofReception(received, Cut(cut), host, 8081);

    QCOMPARE(record.direction == TransferRecord::Direction::Send, send);
    QCOMPARE(record.host, host);
    QCOMPARE(record.port, quint16(8081));
    QCOMPARE(record.fileName, QStringLiteral("f.bin"));
    QCOMPARE(record.outcome, outcome);
    QCOMPARE(record.path, path);
    QCOMPARE(record.underOtherName, !savedAs.isEmpty());
    // A name refused began no file, of no size.
    QCOMPARE(record.size, path.isEmpty() ? 0 : 7000000000ULL);
    QCOMPARE(record.bytes, send ? sent.bytesRead : received.fileBytes);
    QCOMPARE(record.wireBytes, send ? sent.bytesWritten : received.totalBytes);
    // history.csv keeps a reception's digest only when it vouched for the
    // file; the list shows both of one that failed.
    const bool mismatch = !send && code == RecMd5Mismatch;
    QCOMPARE(record.md5Hex, send ? sent.md5Hex : mismatch ? QByteArray() : received.md5Hex);
    QCOMPARE(record.announcedMd5Hex, mismatch ? received.md5Hex : QByteArray());
    QCOMPARE(record.computedMd5Hex, received.computedMd5Hex);
    QCOMPARE(record.ms, send ? sent.elapsedMs : received.elapsedMs);
    QVERIFY(record.endTime >= before && record.endTime <= QDateTime::currentDateTime());
    QVERIFY(record.writeFailure == (send ? WriteFailure::None : received.writeFailure));
}

void tst_TransferHistory::fieldsReadBack_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("offsetMinutes");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QStringList>("expected"); // the fields a spreadsheet shows

    const auto fields = [](const QString &time, const QString &file, const QString &result) {
        return QStringList{time,
                           QStringLiteral("send"),
                           QStringLiteral("192.168.1.10"),
                           QStringLiteral("8080"),
                           file,
                           QStringLiteral("3000000"),
                           QStringLiteral("0123456789abcdef0123456789abcdef"),
                           result,
                           QStringLiteral("1.234")};
    };
    const QString east = QStringLiteral("2026-12-08T14:03:27+08:00");
    const auto row = [&](const char *name, const QString &file, const QString &shown) {
        QTest::newRow(name) << file << 480 << QStringLiteral("done")
                            << fields(east, shown, QStringLiteral("ok"));
    };
    row("plain", QStringLiteral("program.bin"), QStringLiteral("program.bin"));
    row("commas", QStringLiteral("a,b,,c.txt"), QStringLiteral("a,b,,c.txt"));
    row("quotes", QStringLiteral("\"quoted\" \"\".txt"), QStringLiteral("\"quoted\" \"\".txt"));
    row("line breaks", QStringLiteral("one\ntwo\r\nthree\r.txt"),
        QStringLiteral("one\ntwo\r\nthree\r.txt"));
    row("Chinese and spaces", QString::fromUtf8(" 参数 文件.ini "),
        QString::fromUtf8(" 参数 文件.ini "));
    // A spreadsheet would run it as a formula.
    row("formula", QStringLiteral("=HYPERLINK(\"x\",\"y\")"),
        QStringLiteral("'=HYPERLINK(\"x\",\"y\")"));
    QTest::newRow("west of UTC, a failure")
        << QStringLiteral("program.bin") << -210 << QStringLiteral("digest-mismatch")
        << fields(QStringLiteral("2026-12-08T14:03:27-03:30"), QStringLiteral("program.bin"),
                  QStringLiteral("md5-mismatch"));
    QTest::newRow("UTC") << QStringLiteral("program.bin") << 0 << QStringLiteral("done")
                         << fields(QStringLiteral("2026-12-08T14:03:27+00:00"),
                                   QStringLiteral("program.bin"), QStringLiteral("ok"));
}

void tst_TransferHistory::fieldsReadBack()
{
    QFETCH(QString, fileName);
    QFETCH(int, offsetMinutes);
    QFETCH(QString, outcome);
    QFETCH(QStringList, expected);
    TransferRecord record = sampleRecord(fileName);
    record.endTime = QDateTime(record.endTime.date(), record.endTime.time(), Qt::OffsetFromUTC,
                               offsetMinutes * 60);
    record.outcome = outcome;
    TransferHistory history(m_dir->filePath(QStringLiteral("new/history.csv")));

    QCOMPARE(history.append(record), QString());
    QCOMPARE(history.append(sampleRecord()), QString());

    const QByteArray bytes =
        TestFiles::readFile(m_dir->filePath(QStringLiteral("new/history.csv")));
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF"
                             "time,direction,controller,port,file,bytes,md5,result,seconds\r\n"));
    const QList<QStringList> entries =
        HistoryFile::entries(m_dir->filePath(QStringLiteral("new/history.csv")));
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries.at(0), expected);
    QCOMPARE(HistoryFile::value(entries.at(1), "file"), QStringLiteral("program.bin"));
    // Nothing made under another name.
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("new"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("history.csv")});
}

void tst_TransferHistory::rollsOver_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("oldFileThere");
    QTest::addColumn<bool>("staleWriter"); // appends between the rename and the header

    const qint64 full = TransferHistory::RollOverBytes;
    QTest::newRow("a line short of 10 MiB") << full - 1 << true << false;
    QTest::newRow("10 MiB") << full << true << false;
    QTest::newRow("10 MiB, no old file") << full << false << false;
    QTest::newRow("10 MiB, a writer that looked before") << full << true << true;
}

// The full file becomes history.1.csv in place of the old one, and a new
// file starts with its header.
void tst_TransferHistory::rollsOver()
{
    QFETCH(qint64, size);
    QFETCH(bool, oldFileThere);
    QFETCH(bool, staleWriter);
    QVERIFY(TestFiles::writeFile(historyPath(), QByteArray(int(size), 'x')));
    if (oldFileThere)
        QVERIFY(TestFiles::writeFile(oldPath(), "older"));
    const bool full = size >= TransferHistory::RollOverBytes;
    auto disk = std::make_unique<FailingDisk>();
    if (staleWriter) {
        disk->afterRename = [this] {
            auto stale = std::make_unique<FailingDisk>();
            stale->staleSize = TransferHistory::RollOverBytes - 1;
            TransferHistory(historyPath(), std::move(stale)).append(sampleRecord());
        };
    }

    TransferHistory history(historyPath(), std::move(disk));
    QCOMPARE(history.append(sampleRecord()), QString());

    QCOMPARE(QFileInfo(oldPath()).size(), full ? size : qint64(5));
    if (full)
        QCOMPARE(HistoryFile::entries(historyPath()).size(), staleWriter ? 2 : 1);
    else
        QVERIFY(QFileInfo(historyPath()).size() > size);
}

// A history that cannot be written never holds a transfer up, and is told
// once.
void tst_TransferHistory::unwritableToldOnce()
{
    QVERIFY(QDir().mkpath(historyPath()));
    TransferHistory history(historyPath());

    QVERIFY(!history.append(sampleRecord()).isEmpty());
    QCOMPARE(history.append(sampleRecord()), QString());
    QCOMPARE(history.append(sampleRecord()), QString());
}

void tst_TransferHistory::keptUntilWritable_data()
{
    QTest::addColumn<bool>("heldOpen");     // else the disk is full
    QTest::addColumn<bool>("keptAside");    // history.pending.csv can be written
    QTest::addColumn<bool>("startedAgain"); // a new program writes the next line
    QTest::addColumn<bool>("realHandle");   // held by a handle that shares nothing

    QTest::newRow("disk full mid-line, nowhere to keep it") << false << false << false << false;
    QTest::newRow("disk full mid-line") << false << true << false << false;
    QTest::newRow("held open by a spreadsheet") << true << true << false << false;
    QTest::newRow("held open, the program started again") << true << true << true << false;
#ifdef Q_OS_WIN
    QTest::newRow("held open without sharing") << true << true << false << true;
#endif
}

// A line is in the history whole or not at all; one that cannot be
// written waits beside it, in order, and the user is told once where.
void tst_TransferHistory::keptUntilWritable()
{
    QFETCH(bool, heldOpen);
    QFETCH(bool, keptAside);
    QFETCH(bool, startedAgain);
    QFETCH(bool, realHandle);
    auto owned = std::make_unique<FailingDisk>();
    FailingDisk *disk = owned.get();
    auto history = std::make_unique<TransferHistory>(historyPath(), std::move(owned));
    QCOMPARE(history->append(sampleRecord(QStringLiteral("before"))), QString());
    QStringList failing{historyPath()};
    if (!keptAside)
        failing << pendingPath();
#ifdef Q_OS_WIN
    // As a spreadsheet opens it.
    const HANDLE holder =
        realHandle
            ? CreateFileW(reinterpret_cast<const wchar_t *>(
                              QDir::toNativeSeparators(historyPath()).utf16()),
                          GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
            : INVALID_HANDLE_VALUE;
    QCOMPARE(holder != INVALID_HANDLE_VALUE, realHandle);
#endif
    if (!realHandle)
        (heldOpen ? disk->held : disk->full) = failing;

    const QString told = history->append(sampleRecord(QStringLiteral("during 1")));
    QCOMPARE(history->append(sampleRecord(QStringLiteral("during 2"))), QString());
    QVERIFY(!told.isEmpty());
    QCOMPARE(told.contains(QDir::toNativeSeparators(pendingPath())), keptAside);
#ifdef Q_OS_WIN
    if (realHandle)
        CloseHandle(holder);
#endif
    disk->held.clear();
    disk->full.clear();
    if (startedAgain)
        history = std::make_unique<TransferHistory>(historyPath());
    QCOMPARE(history->append(sampleRecord(QStringLiteral("after"))), QString());

    QStringList expected{QStringLiteral("before"), QStringLiteral("during 1"),
                         QStringLiteral("during 2"), QStringLiteral("after")};
    if (!keptAside)
        expected = QStringList{expected.first(), expected.last()};
    QStringList names;
    for (const QStringList &entry : HistoryFile::entries(historyPath()))
        names << (entry.size() == HistoryFile::Columns.size() ? HistoryFile::value(entry, "file")
                                                              : entry.join(QLatin1Char(',')));
    QCOMPARE(names, expected);
    QVERIFY(!QFileInfo::exists(pendingPath()));
}

void tst_TransferHistory::writersAtOnce_data()
{
    QTest::addColumn<bool>("full");

    QTest::newRow("new file") << false;
    QTest::newRow("across a roll-over") << true;
}

// As the window and kvr-transfer would, each with a writer of its own:
// every line whole, one header, one roll-over that loses nothing.
void tst_TransferHistory::writersAtOnce()
{
    QFETCH(bool, full);
    constexpr int Writers = 4;
    constexpr int Lines = 300;
    if (full)
        QVERIFY(TestFiles::writeFile(
            historyPath(), QByteArray("\xEF\xBB\xBF"
                                      "time,direction,controller,port,file,bytes,md5,result,"
                                      "seconds\r\n") +
                               QByteArray(int(TransferHistory::RollOverBytes), 'x') + "\r\n"));

    std::vector<std::unique_ptr<QThread>> writers;
    for (int w = 0; w < Writers; ++w) {
        writers.emplace_back(QThread::create([this, w] {
            TransferHistory history(historyPath());
            for (int i = 0; i < Lines; ++i) {
                if (!history.append(sampleRecord(QStringLiteral("w%1-%2,x").arg(w).arg(i)))
                         .isEmpty())
                    return;
            }
        }));
        writers.back()->start();
    }
    for (const std::unique_ptr<QThread> &writer : writers)
        QVERIFY(writer->wait(60000));

    QList<QStringList> entries = HistoryFile::entries(historyPath());
    if (full) {
        QList<QStringList> older = HistoryFile::entries(oldPath());
        QVERIFY(!older.isEmpty());
        QCOMPARE(older.takeFirst().size(), 1); // the filler
        entries = older + entries;
    }
    QCOMPARE(entries.size(), Writers * Lines);
    QSet<QString> names;
    for (const QStringList &entry : entries) {
        QCOMPARE(entry.size(), HistoryFile::Columns.size());
        names.insert(HistoryFile::value(entry, "file"));
    }
    QCOMPARE(names.size(), Writers * Lines);
}

QTEST_GUILESS_MAIN(tst_TransferHistory)
#include "tst_transferhistory.moc"
