#include "testfiles.h"
#include "transfer/frameparser.h"
#include "transfer/protocol.h"

#include <QtTest>

using namespace TestFiles;

namespace {

// Records the parser's events as text. Adjacent raw data and adjacent
// contents are merged: how they were cut up depends on the chunking.
class Recorder : public FrameParser::Listener
{
public:
    QStringList events;
    bool acceptTransfers = true;
    qsizetype failContentsAfter = -1; // refuse contents beyond this many bytes

    void rawData(const QByteArray &bytes) override { append(QStringLiteral("raw:"), bytes); }
    bool transferOpened(const FrameHeader &header) override
    {
        events << QStringLiteral("open:%1:%2:%3:%4")
                      .arg(QString::fromUtf8(header.rawName))
                      .arg(header.size)
                      .arg(header.sizeValid ? QStringLiteral("valid") : QStringLiteral("invalid"))
                      .arg(header.hasMd5 && header.md5Hex.isEmpty()
                               ? QStringLiteral("?")
                               : QString::fromLatin1(header.md5Hex));
        m_contentBytes = 0;
        m_hash.reset();
        m_md5Hex = header.md5Hex;
        return acceptTransfers;
    }
    bool digestMatches() override { return m_hash.result().toHex() == m_md5Hex; }
    bool contents(const char *data, qsizetype size) override
    {
        m_contentBytes += size;
        m_hash.addData(data, int(size));
        if (failContentsAfter >= 0 && m_contentBytes > failContentsAfter) {
            events << QStringLiteral("write failed");
            return false;
        }
        append(QStringLiteral("data:"), QByteArray(data, int(size)));
        return true;
    }
    void transferEnded() override { events << QStringLiteral("end"); }
    void transferTimedOut() override { events << QStringLiteral("timeout"); }

private:
    void append(const QString &kind, const QByteArray &bytes)
    {
        const QString text = kind + QString::fromLatin1(bytes.toHex());
        if (!events.isEmpty() && events.last().startsWith(kind))
            events.last() += QString::fromLatin1(bytes.toHex());
        else
            events << text;
    }
    qsizetype m_contentBytes = 0;
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    QByteArray m_md5Hex;
};

QString raw(const QByteArray &bytes)
{
    return QStringLiteral("raw:") + QString::fromLatin1(bytes.toHex());
}
QString data(const QByteArray &bytes)
{
    return QStringLiteral("data:") + QString::fromLatin1(bytes.toHex());
}
QString open(const QString &name, quint64 size, const QByteArray &md5 = QByteArray(),
             bool valid = true)
{
    return QStringLiteral("open:%1:%2:%3:%4")
        .arg(name)
        .arg(size)
        .arg(valid ? QStringLiteral("valid") : QStringLiteral("invalid"))
        .arg(QString::fromLatin1(md5));
}

QStringList parse(const QList<QByteArray> &chunks, Recorder *recorder = nullptr)
{
    Recorder local;
    Recorder *r = recorder ? recorder : &local;
    FrameParser parser(r);
    for (const QByteArray &chunk : chunks)
        parser.feed(chunk, 0);
    parser.poll(FrameParser::TimeoutMs + 1);
    return r->events;
}

const QByteArray greeting = Protocol::greeting();

} // namespace

class tst_FrameParser : public QObject
{
    Q_OBJECT

private slots:
    void streams_data();
    void streams();
    void sameEventsWhateverTheChunking_data();
    void sameEventsWhateverTheChunking();
    void randomStreamsAgree_data();
    void randomStreamsAgree();
    void stallRule_data();
    void stallRule();
    void endOfStreamActsAtOnce_data() { stallRule_data(); }
    void endOfStreamActsAtOnce();
    void partialEndMarkerBecomesContentsOnStall();
    void refusedTransferIsDiscardedQuietly();
    void refusedContentsDiscardRestOfTransfer();
    void headerLimit();
    void emptyChunkChangesNothing();
};

void tst_FrameParser::streams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    const QByteArray contents = "hello world";
    const QByteArray md5 = md5Hex(contents);
    const QByteArray &end = Protocol::endMarker();

    QTest::newRow("greeting") << greeting << QStringList{raw(greeting)};
    QTest::newRow("small file, one chunk, with md5")
        << framed(QStringLiteral("a.txt"), contents)
        << QStringList{open(QStringLiteral("a.txt"), 11, md5), data(contents),
                       QStringLiteral("end")};
    QTest::newRow("without md5 section")
        << framed(QStringLiteral("a.txt"), contents, false)
        << QStringList{open(QStringLiteral("a.txt"), 11), data(contents), QStringLiteral("end")};
    QTest::newRow("empty file with md5")
        << framed(QStringLiteral("e"), QByteArray())
        << QStringList{open(QStringLiteral("e"), 0, md5Hex(QByteArray())), QStringLiteral("end")};
    QTest::newRow("bytes before the header are raw data")
        << greeting + framed(QStringLiteral("a"), contents, false)
        << QStringList{raw(greeting), open(QStringLiteral("a"), 11), data(contents),
                       QStringLiteral("end")};
    QTest::newRow("bytes after the end marker are parsed")
        << framed(QStringLiteral("a"), contents) + greeting + framed(QStringLiteral("b"), "xy")
        << QStringList{open(QStringLiteral("a"), 11, md5),
                       data(contents),
                       QStringLiteral("end"),
                       raw(greeting),
                       open(QStringLiteral("b"), 2, md5Hex("xy")),
                       data("xy"),
                       QStringLiteral("end")};
    const QByteArray withMarker = "before" + end + "after" + Protocol::startMarker();
    QTest::newRow("end marker inside contents announced with md5")
        << framed(QStringLiteral("m"), withMarker)
        << QStringList{open(QStringLiteral("m"), quint64(withMarker.size()), md5Hex(withMarker)),
                       data(withMarker), QStringLiteral("end")};
    QTest::newRow("without md5 the first end marker ends the contents")
        << framed(QStringLiteral("m"), "before" + end + "after", false)
        << QStringList{open(QStringLiteral("m"), 6 + 18 + 5), data("before"), QStringLiteral("end"),
                       raw("after" + end)};
    QTest::newRow("non-numeric size")
        << Protocol::startMarker() + "n" + Protocol::sizeMarker() + "12a" +
               Protocol::sizeEndMarker() + Protocol::md5Marker() + md5 + Protocol::md5EndMarker() +
               contents + end
        << QStringList{open(QStringLiteral("n"), 0, md5, false), data(contents),
                       QStringLiteral("end")};
    QTest::newRow("more contents than announced")
        << Protocol::buildHeader(QStringLiteral("s"), 3, md5) + contents + end
        << QStringList{open(QStringLiteral("s"), 3, md5), data(contents), QStringLiteral("end")};
    const QByteArray lookalike = Protocol::md5Marker().left(9) + "not a digest";
    QTest::newRow("contents that begin like an md5 section")
        << framed(QStringLiteral("l"), lookalike, false)
        << QStringList{open(QStringLiteral("l"), quint64(lookalike.size())), data(lookalike),
                       QStringLiteral("end")};
    QTest::newRow("start marker without size marker stays raw")
        << Protocol::startMarker() + "no size here"
        << QStringList{raw(Protocol::startMarker() + "no size here")};
    QTest::newRow("size marker before start marker")
        << Protocol::sizeMarker() + "x" + Protocol::startMarker() + "y"
        << QStringList{raw(Protocol::sizeMarker() + "x" + Protocol::startMarker() + "y")};
    for (const auto &field :
         {QPair<const char *, QByteArray>{"31", md5.left(31)},
          {"33", md5 + "0"},
          {"non-hex", "g" + md5.mid(1)},
          {"empty", QByteArray()},
          {"long", QByteArray(5000, 'a')},
          {"beyond the header limit", QByteArray(FrameParser::MaxHeaderBytes, 'a')},
          {"of 1 MiB", QByteArray(1024 * 1024, '0')}}) {
        QTest::newRow(
            qPrintable(QStringLiteral("md5 field %1 is header").arg(QLatin1String(field.first))))
            << Protocol::startMarker() + "f" + Protocol::sizeMarker() + "11" +
                   Protocol::sizeEndMarker() + Protocol::md5Marker() + field.second +
                   Protocol::md5EndMarker() + contents + end + greeting
            << QStringList{open(QStringLiteral("f"), 11, "?"), data(contents),
                           QStringLiteral("end"), raw(greeting)};
    }
    QTest::newRow("over-announced size ends where the digest matches")
        << Protocol::buildHeader(QStringLiteral("o"), 1000, md5Hex(withMarker)) + withMarker + end +
               greeting
        << QStringList{open(QStringLiteral("o"), 1000, md5Hex(withMarker)), data(withMarker),
                       QStringLiteral("end"), raw(greeting)};
    QTest::newRow("over-announced size with another digest waits for the size")
        << Protocol::buildHeader(QStringLiteral("o"), 1000, md5Hex("other")) + contents + end +
               greeting
        << QStringList{open(QStringLiteral("o"), 1000, md5Hex("other")),
                       data(contents + end + greeting), QStringLiteral("timeout")};
    QTest::newRow("greeting inside an open transfer is contents")
        << Protocol::buildHeader(QStringLiteral("g"), 0, QByteArray()) + greeting + end
        << QStringList{open(QStringLiteral("g"), 0), data(greeting), QStringLiteral("end")};
}

void tst_FrameParser::streams()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);
    QCOMPARE(parse({stream}), expected);
}

void tst_FrameParser::sameEventsWhateverTheChunking_data()
{
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<quint32>("seed");
    for (int size : {1, 2, 3, 17, 18, 29, 30, 74, 140, 200, 12000})
        QTest::newRow(qPrintable(QStringLiteral("every %1").arg(size))) << size << 0u;
    for (quint32 seed = 1; seed <= 8; ++seed)
        QTest::newRow(qPrintable(QStringLiteral("random %1").arg(seed))) << 0 << seed;
}

// Split markers, split headers and split MD5 sections are all found.
void tst_FrameParser::sameEventsWhateverTheChunking()
{
    QFETCH(int, chunkSize);
    QFETCH(quint32, seed);
    const QByteArray tricky = Protocol::endMarker() + randomBytes(700, 3) +
                              Protocol::startMarker() + Protocol::endMarker().left(10);
    const QByteArray badMd5 = Protocol::startMarker() + "bad" + Protocol::sizeMarker() + "3" +
                              Protocol::sizeEndMarker() + Protocol::md5Marker() + "abc" +
                              Protocol::md5EndMarker() + "xyz" + Protocol::endMarker();
    const QByteArray longMd5 = Protocol::buildHeader(QStringLiteral("long"), 3, QByteArray()) +
                               Protocol::md5Marker() + QByteArray(70000, 'f') +
                               Protocol::md5EndMarker().left(9) + Protocol::md5EndMarker() + "xyz" +
                               Protocol::endMarker();
    const QByteArray stream = greeting + longMd5 + framed(QStringLiteral("一.bin"), tricky) +
                              Protocol::buildHeader(QStringLiteral("over"), 5000, md5Hex(tricky)) +
                              tricky + Protocol::endMarker() + badMd5 +
                              framed(QStringLiteral("two"), randomBytes(333, 4), false) +
                              QByteArray("\xe5\xbc", 2) + greeting +
                              framed(QStringLiteral("empty"), QByteArray()) + greeting;
    const QStringList whole = parse({stream});
    const QList<QByteArray> chunks =
        seed ? randomlyChunked(stream, seed, 64) : chunked(stream, chunkSize);
    QCOMPARE(parse(chunks), whole);
    QCOMPARE(whole.count(QStringLiteral("end")), 6);
}

void tst_FrameParser::randomStreamsAgree_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 100; seed < 400; ++seed)
        QTest::newRow(qPrintable(QString::number(seed))) << seed;
}

// Streams spliced from markers, pieces of markers, digits, hex and noise:
// whatever the chunking, the parser tells the same story.
void tst_FrameParser::randomStreamsAgree()
{
    QFETCH(quint32, seed);
    QRandomGenerator generator(seed);
    const QList<QByteArray> pieces = {
        Protocol::startMarker(),   Protocol::sizeMarker(),
        Protocol::sizeEndMarker(), Protocol::md5Marker(),
        Protocol::md5EndMarker(),  Protocol::endMarker(),
        "0123456789abcdef",        "42",
        QByteArray(1, '\0'),       greeting,
    };
    QByteArray stream;
    const int count = int(generator.bounded(1, 60));
    for (int i = 0; i < count; ++i) {
        const QByteArray &piece = pieces.at(int(generator.bounded(pieces.size())));
        switch (generator.bounded(4)) {
        case 0:
            stream += piece.left(int(generator.bounded(piece.size() + 1)));
            break;
        case 1:
            stream += randomBytes(int(generator.bounded(40)), generator.generate());
            break;
        default:
            stream += piece;
        }
    }
    const QStringList whole = parse({stream});
    QCOMPARE(parse(randomlyChunked(stream, seed, 25)), whole);
    QCOMPARE(parse(chunked(stream, 1)), whole);
}

void tst_FrameParser::stallRule_data()
{
    QTest::addColumn<QByteArray>("held");
    QTest::addColumn<QStringList>("afterStall");
    const QByteArray header = Protocol::buildHeader(QStringLiteral("t"), 5, QByteArray());
    QTest::newRow("open transfer")
        << header + "abc"
        << QStringList{open(QStringLiteral("t"), 5), data("abc"), QStringLiteral("timeout")};
    QTest::newRow("header without contents")
        << header << QStringList{open(QStringLiteral("t"), 5), QStringLiteral("timeout")};
    // Header bytes never become contents, however the section ends.
    QTest::newRow("md5 section cut short")
        << header + Protocol::md5Marker() + "0123456789"
        << QStringList{open(QStringLiteral("t"), 5, "?"), QStringLiteral("timeout")};
    const QByteArray partial = Protocol::startMarker() + "name" + Protocol::sizeMarker() + "12";
    QTest::newRow("partial header") << partial << QStringList{raw(partial)};
    QTest::newRow("partial start marker")
        << greeting + Protocol::startMarker().left(5)
        << QStringList{raw(greeting + Protocol::startMarker().left(5))};
}

// More than 1000 ms without data ends what waits; exactly 1000 ms does not.
void tst_FrameParser::stallRule()
{
    QFETCH(QByteArray, held);
    QFETCH(QStringList, afterStall);
    Recorder recorder;
    FrameParser parser(&recorder);
    parser.feed(held, 5000);
    QCOMPARE(parser.msUntilTimeout(5000), FrameParser::TimeoutMs + 1);
    parser.poll(5000 + FrameParser::TimeoutMs);
    QVERIFY(!parser.idle());
    parser.poll(5000 + FrameParser::TimeoutMs + 1);
    QCOMPARE(recorder.events, afterStall);
    QVERIFY(parser.idle());
    QCOMPARE(parser.msUntilTimeout(9000), qint64(-1));
}

// A closed connection ends what waits as a stall would, without the wait,
// and the next stream is parsed from a clean start.
void tst_FrameParser::endOfStreamActsAtOnce()
{
    QFETCH(QByteArray, held);
    QFETCH(QStringList, afterStall);
    Recorder recorder;
    FrameParser parser(&recorder);
    parser.feed(held, 5000);
    parser.endOfStream();
    QCOMPARE(recorder.events, afterStall);
    QVERIFY(parser.idle());
    parser.endOfStream();
    QCOMPARE(recorder.events, afterStall);
    recorder.events.clear();
    parser.feed(framed(QStringLiteral("n"), "xy"), 5001);
    QCOMPARE(recorder.events, (QStringList{open(QStringLiteral("n"), 2, md5Hex("xy")), data("xy"),
                                           QStringLiteral("end")}));
}

void tst_FrameParser::partialEndMarkerBecomesContentsOnStall()
{
    Recorder recorder;
    FrameParser parser(&recorder);
    const QByteArray piece = Protocol::endMarker().left(7);
    parser.feed(Protocol::buildHeader(QStringLiteral("p"), 0, QByteArray()) + "x" + piece, 0);
    parser.poll(FrameParser::TimeoutMs + 1);
    QCOMPARE(recorder.events, (QStringList{open(QStringLiteral("p"), 0), data("x" + piece),
                                           QStringLiteral("timeout")}));
}

// After a refused transfer (say, the file could not be created) nothing of it
// shows as raw data; what follows its end marker does.
void tst_FrameParser::refusedTransferIsDiscardedQuietly()
{
    Recorder recorder;
    recorder.acceptTransfers = false;
    const QByteArray stream = framed(QStringLiteral("x"), randomBytes(5000, 9), false) + greeting;
    const QStringList events = parse(chunked(stream, 100), &recorder);
    QCOMPARE(events, (QStringList{open(QStringLiteral("x"), 5000), raw(greeting)}));
}

void tst_FrameParser::refusedContentsDiscardRestOfTransfer()
{
    Recorder recorder;
    recorder.failContentsAfter = 150;
    const QByteArray contents = randomBytes(1000, 5);
    const QByteArray stream = framed(QStringLiteral("w"), contents) + greeting;
    const QStringList events = parse(chunked(stream, 100), &recorder);
    QCOMPARE(events.size(), 4);
    QCOMPARE(events.at(2), QStringLiteral("write failed"));
    QCOMPARE(events.at(3), raw(greeting));
}

// A start marker whose header does not complete within 64 KiB is raw data,
// and a real header after it is still found.
void tst_FrameParser::headerLimit()
{
    const QByteArray junk = Protocol::startMarker() + QByteArray(FrameParser::MaxHeaderBytes, 'n');
    const QByteArray stream = junk + framed(QStringLiteral("ok"), "fine");
    Recorder recorder;
    const QStringList events = parse(chunked(stream, 12000), &recorder);
    QCOMPARE(events.size(), 4);
    QCOMPARE(events.at(0), raw(junk));
    QCOMPARE(events.at(1), open(QStringLiteral("ok"), 4, md5Hex("fine")));
}

void tst_FrameParser::emptyChunkChangesNothing()
{
    Recorder recorder;
    FrameParser parser(&recorder);
    parser.feed(Protocol::buildHeader(QStringLiteral("e"), 1, QByteArray()), 0);
    parser.feed(QByteArray(), 900);
    parser.poll(FrameParser::TimeoutMs + 1);
    QCOMPARE(recorder.events.last(), QStringLiteral("timeout"));
    QVERIFY(parser.idle());
}

QTEST_GUILESS_MAIN(tst_FrameParser)
#include "tst_frameparser.moc"
