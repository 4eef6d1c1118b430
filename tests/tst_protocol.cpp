#include "transfer/protocol.h"

#include <QtTest>

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void markerBytes_data();
    void markerBytes();
    void headerLayout();
    void headerWithoutMd5();
    void safeFileName_data();
    void safeFileName();
    void parseSize_data();
    void parseSize();
    void printable_data();
    void printable();
};

void tst_Protocol::markerBytes_data()
{
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("start") << Protocol::startMarker()
                           << QByteArray("e5bc80e5a78be4bca0e980815f5f5f3a3a3a");
    QTest::newRow("end") << Protocol::endMarker()
                         << QByteArray("e7bb93e69d9fe4bca0e980815f5f5f3a3a3a");
    QTest::newRow("size") << Protocol::sizeMarker()
                          << QByteArray("e69687e4bbb6e5a4a7e5b08f5f5f5f3a3a3a");
    QTest::newRow("sizeEnd") << Protocol::sizeEndMarker()
                             << QByteArray(
                                    "e69687e4bbb6e5a4a7e5b08fe4bca0e98081e7bb93e69d9f5f5f5f3a3a3a");
    QTest::newRow("md5") << Protocol::md5Marker() << QByteArray("e69687e4bbb64d44355f5f5f3a3a3a");
    QTest::newRow("md5End") << Protocol::md5EndMarker()
                            << QByteArray("e69687e4bbb64d4435e4bca0e98081e7bb93e69d9f5f5f5f3a3a3a");
    QTest::newRow("greeting") << Protocol::greeting() << QByteArray("e4bda0e5a5bd2121");
}

void tst_Protocol::markerBytes()
{
    QFETCH(QByteArray, marker);
    QFETCH(QByteArray, hex);
    QCOMPARE(marker.toHex(), hex);
}

void tst_Protocol::headerLayout()
{
    const QByteArray md5 = "d41d8cd98f00b204e9800998ecf8427e";
    const QByteArray header = Protocol::buildHeader(QStringLiteral("报告.txt"), 1234, md5);
    const QByteArray name = QStringLiteral("报告.txt").toUtf8();
    QCOMPARE(header.size(), 140 + name.size() + 4);
    QCOMPARE(header, Protocol::startMarker() + name + Protocol::sizeMarker() + "1234" +
                         Protocol::sizeEndMarker() + Protocol::md5Marker() + md5 +
                         Protocol::md5EndMarker());
}

void tst_Protocol::headerWithoutMd5()
{
    const QByteArray header = Protocol::buildHeader(QStringLiteral("a"), 0, QByteArray());
    QCOMPARE(header, Protocol::startMarker() + "a" + Protocol::sizeMarker() + "0" +
                         Protocol::sizeEndMarker());
}

void tst_Protocol::safeFileName_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("onUnix"); // empty: refused
    QTest::addColumn<QString>("onWindows");
    const auto both = [](const char *row, const QByteArray &received, const QString &expected) {
        QTest::newRow(row) << received << expected << expected;
    };
    const auto unixOnly = [](const char *row, const QByteArray &received) {
        QTest::newRow(row) << received << QString::fromUtf8(received) << QString();
    };
    both("plain", "data.bin", QStringLiteral("data.bin"));
    both("chinese", QStringLiteral("日志.txt").toUtf8(), QStringLiteral("日志.txt"));
    both("unix path", "/etc/passwd", QStringLiteral("passwd"));
    both("parent", "../../x", QStringLiteral("x"));
    both("windows path", "C:\\Windows\\a.dll", QStringLiteral("a.dll"));
    both("mixed", "a/b\\c", QStringLiteral("c"));
    both("empty", QByteArray(), QString());
    both("dot", ".", QString());
    both("dotdot", "..", QString());
    both("trailing slash", "dir/", QString());
    both("parent at end", "x/..", QString());
    both("drive", "C:", QString());
    both("drive relative", "d:evil", QString());
    both("dots inside", "a..b", QStringLiteral("a..b"));
    // Controllers that send C strings end or pad the name with zero bytes.
    both("nul ends the name", QByteArray("a.txt\0", 6), QStringLiteral("a.txt"));
    both("nul padding", QByteArray("a.txt\0\0\0\0", 9), QStringLiteral("a.txt"));
    both("text after nul", QByteArray("a\0b", 3), QStringLiteral("a"));
    both("nothing before nul", QByteArray("\0a.txt", 6), QString());
    both("path after nul", QByteArray("ok\0/../x", 9), QStringLiteral("ok"));
    both("252 bytes", QString(84, QChar(0x6587)).toUtf8(), QString(84, QChar(0x6587)));
    both("255 bytes", QByteArray(255, 'n'), QString(255, QLatin1Char('n')));
    both("256 bytes", QByteArray(256, 'n'), QString());
    QTest::newRow("258 bytes, 86 characters")
        << QString(86, QChar(0x6587)).toUtf8() << QString() << QString(86, QChar(0x6587));
    for (const char *device : {"CON", "prn", "Aux", "nul", "COM1", "com9", "LPT1", "lpt9",
                               "con.txt", "NUL.tar.gz", "aux .log", "COM\xc2\xb9"})
        unixOnly(device, device);
    both("not a device", "CONSOLE.txt", QStringLiteral("CONSOLE.txt"));
    both("no device number", "COM0", QStringLiteral("COM0"));
    both("device name inside", "my.con", QStringLiteral("my.con"));
    for (const char *name : {"a<b", "a>b", "ab:c", "a\"b", "a|b", "a?b", "a*b", "a.", "a ", "a. ."})
        unixOnly(name, name);
    unixOnly("newline", "a\nb");
    unixOnly("control character", "a\x1f");
}

void tst_Protocol::safeFileName()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, onUnix);
    QFETCH(QString, onWindows);
    QCOMPARE(Protocol::safeFileName(received, Protocol::Platform::Unix), onUnix);
    QCOMPARE(Protocol::safeFileName(received, Protocol::Platform::Windows), onWindows);
#ifdef Q_OS_WIN
    QCOMPARE(Protocol::safeFileName(received), onWindows);
#else
    QCOMPARE(Protocol::safeFileName(received), onUnix);
#endif
}

void tst_Protocol::parseSize_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<bool>("valid");
    QTest::newRow("zero") << QByteArray("0") << quint64(0) << true;
    QTest::newRow("number") << QByteArray("5242880") << quint64(5242880) << true;
    QTest::newRow("max") << QByteArray("18446744073709551615") << quint64(18446744073709551615ULL)
                         << true;
    QTest::newRow("overflow") << QByteArray("18446744073709551616") << quint64(0) << false;
    QTest::newRow("letter") << QByteArray("12a4") << quint64(0) << false;
    QTest::newRow("minus") << QByteArray("-5") << quint64(0) << false;
    QTest::newRow("empty") << QByteArray() << quint64(0) << false;
    QTest::newRow("hex") << QByteArray("0x10") << quint64(0) << false;
}

void tst_Protocol::parseSize()
{
    QFETCH(QByteArray, field);
    QFETCH(quint64, size);
    QFETCH(bool, valid);
    bool isValid = !valid;
    QCOMPARE(Protocol::parseSize(field, &isValid), size);
    QCOMPARE(isValid, valid);
}

void tst_Protocol::printable_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("maxChars");
    QTest::addColumn<bool>("keepControls");
    QTest::addColumn<QString>("shown");

    const QString ellipsis(QChar(0x2026));
    QTest::newRow("controls escaped")
        << QByteArray("a\nb\x7f") << -1 << false << QStringLiteral("a\\x0ab\\x7f");
    QTest::newRow("controls kept") << QByteArray("a\nb") << -1 << true << QStringLiteral("a\nb");
    QTest::newRow("ends at a zero byte")
        << QByteArray("ab\0cd", 5) << -1 << false << QStringLiteral("ab");
    QTest::newRow("exactly the limit") << QByteArray("abc") << 3 << false << QStringLiteral("abc");
    QTest::newRow("past the limit")
        << QByteArray("abcd") << 3 << false << QStringLiteral("abc") + ellipsis;
    // U+1F600 takes two UTF-16 units: never half of it.
    QTest::newRow("a pair at the limit")
        << QByteArray("ab\xF0\x9F\x98\x80") << 3 << false << QStringLiteral("ab") + ellipsis;
    QTest::newRow("a flood") << QByteArray(1 << 24, 'x') << 2 << false
                             << QStringLiteral("xx") + ellipsis;
}

void tst_Protocol::printable()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, maxChars);
    QFETCH(bool, keepControls);
    QFETCH(QString, shown);
    const auto controls = keepControls ? Protocol::Controls::Kept : Protocol::Controls::Escaped;
    QCOMPARE(Protocol::printable(raw, maxChars, controls), shown);
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
