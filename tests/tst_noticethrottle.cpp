// The window's notices against a flood: which show at once, which wait, and
// how those that waited are summed up. Each row is a script of steps on a
// clock of its own.

#include "client/noticethrottle.h"

#include <QtTest>

class tst_NoticeThrottle : public QObject
{
    Q_OBJECT

private slots:
    void throttles_data();
    void throttles();
};

void tst_NoticeThrottle::throttles_data()
{
    // "ms what name" posts a notice about one file, "ms what *n" one about n
    // files; "ms due" asks for what waits, "ms ?" how long until it is due.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("shown"); // "ms text", and "ms ?wait"

    QTest::newRow("one shows at once") << QString::fromUtf8("0 接收完成 a.bin")
                                       << QStringList{QString::fromUtf8("0 接收完成: a.bin")};
    QTest::newRow("far enough apart, each shows at once")
        << QString::fromUtf8("0 接收完成 a.bin; 5000 接收失败 b.bin")
        << QStringList{QString::fromUtf8("0 接收完成: a.bin"),
                       QString::fromUtf8("5000 接收失败: b.bin")};
    QTest::newRow("a flood is summed up once its time has come")
        << QString::fromUtf8(
               "0 接收失败 a; 10 接收失败 b; 20 接收失败 c; 20 ?; 4999 due; 5000 due; 5000 ?")
        << QStringList{QString::fromUtf8("0 接收失败: a"), QStringLiteral("20 ?4980"),
                       QString::fromUtf8("5000 接收失败: 2 个文件"), QStringLiteral("5000 ?-1")};
    QTest::newRow("one that waited shows as itself")
        << QString::fromUtf8("0 接收失败 a; 10 接收完成 b; 5000 due")
        << QStringList{QString::fromUtf8("0 接收失败: a"), QString::fromUtf8("5000 接收完成: b")};
    QTest::newRow("kinds summed apart, in one notice")
        << QString::fromUtf8("0 接收失败 a; 1 接收失败 b; 2 接收完成 c; 3 接收失败 d; 5000 due")
        << QStringList{QString::fromUtf8("0 接收失败: a"),
                       QString::fromUtf8("5000 接收失败: 2 个文件\n接收完成: c")};
    QTest::newRow("runs count their files")
        << QString::fromUtf8("0 发送完成 *5; 1 发送完成 *3; 2 发送完成 x.bin; 5000 due")
        << QStringList{QString::fromUtf8("0 发送完成: 5 个文件"),
                       QString::fromUtf8("5000 发送完成: 4 个文件")};
    QTest::newRow("after a summary the next waits again")
        << QString::fromUtf8(
               "0 接收失败 a; 1 接收失败 b; 5000 due; 5001 接收失败 c; 9999 due; 10000 due")
        << QStringList{QString::fromUtf8("0 接收失败: a"), QString::fromUtf8("5000 接收失败: b"),
                       QString::fromUtf8("10000 接收失败: c")};
    QTest::newRow("one posted late takes what waited along")
        << QString::fromUtf8("0 接收失败 a; 1 接收失败 b; 6000 接收失败 c")
        << QStringList{QString::fromUtf8("0 接收失败: a"),
                       QString::fromUtf8("6000 接收失败: 2 个文件")};
}

void tst_NoticeThrottle::throttles()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, shown);
    qint64 now = 0;
    NoticeThrottle throttle([&now] { return now; });
    QStringList seen;
    for (const QString &step : steps.split(QStringLiteral("; "))) {
        const QStringList words = step.split(QLatin1Char(' '));
        now = words.at(0).toLongLong();
        const auto said = [&](const QString &text) {
            if (!text.isEmpty())
                seen << words.at(0) + QLatin1Char(' ') + text;
        };
        if (words.at(1) == QLatin1String("due")) {
            said(throttle.takeDue());
        } else if (words.at(1) == QLatin1String("?")) {
            said(QLatin1Char('?') + QString::number(throttle.msUntilDue()));
        } else {
            const QString &about = words.at(2);
            const bool run = about.startsWith(QLatin1Char('*'));
            said(throttle.post(
                {words.at(1), run ? QString() : about, run ? about.mid(1).toInt() : 1}));
        }
    }
    QCOMPARE(seen, shown);
}

QTEST_GUILESS_MAIN(tst_NoticeThrottle)
#include "tst_noticethrottle.moc"
