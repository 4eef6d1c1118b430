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
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("data.bin") << QStringLiteral("data.bin");
    QTest::newRow("chinese") << QStringLiteral("日志.txt").toUtf8() << QStringLiteral("日志.txt");
    QTest::newRow("unix path") << QByteArray("/etc/passwd") << QStringLiteral("passwd");
    QTest::newRow("parent") << QByteArray("../../x") << QStringLiteral("x");
    QTest::newRow("windows path") << QByteArray("C:\\Windows\\a.dll") << QStringLiteral("a.dll");
    QTest::newRow("mixed") << QByteArray("a/b\\c") << QStringLiteral("c");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("dot") << QByteArray(".") << QString();
    QTest::newRow("dotdot") << QByteArray("..") << QString();
    QTest::newRow("trailing slash") << QByteArray("dir/") << QString();
    QTest::newRow("parent at end") << QByteArray("x/..") << QString();
    QTest::newRow("nul") << QByteArray("a\0b", 3) << QString();
    QTest::newRow("drive") << QByteArray("C:") << QString();
    QTest::newRow("drive relative") << QByteArray("d:evil") << QString();
    QTest::newRow("dots inside") << QByteArray("a..b") << QStringLiteral("a..b");
}

void tst_Protocol::safeFileName()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, expected);
    QCOMPARE(Protocol::safeFileName(received), expected);
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

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
