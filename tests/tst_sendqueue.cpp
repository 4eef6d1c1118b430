// The window's send queue on its own: the places it gives, what waits after
// a failure, what a stop drops. Each row is a script of steps and what
// the queue answers them.

#include "client/sendqueue.h"
#include "transfer/transfercodes.h"

#include <QtTest>

class tst_SendQueue : public QObject
{
    Q_OBJECT

private slots:
    void runs_data();
    void runs();
};

void tst_SendQueue::runs_data()
{
    QTest::addColumn<QString>("steps");
    // "a 2/5" for a file handed over or looked at, the end's answer, and
    // "-x,y" for the files a stop dropped.
    QTest::addColumn<QString>("answers");
    QTest::addColumn<QStringList>("waiting"); // at the end

    // +files: add; ^files: add first; >: hand over; ?: the current place; done, open, lost,
    // abort: the file's end code; hold: the next file waits for the pause
    // between files; stop.
    QTest::newRow("one file") << "+a > done"
                              << "a 1/1 finished" << QStringList();
    QTest::newRow("three in a run") << "+a,b,c > done > done > done"
                                    << "a 1/3 next b 2/3 next c 3/3 finished" << QStringList();
    QTest::newRow("added while a file is out")
        << "+a,b > +c,d ? done > done > done > done"
        << "a 1/2 a 1/4 next b 2/4 next c 3/4 next d 4/4 finished" << QStringList();
    QTest::newRow("added after the last file ended: a new run")
        << "+a > done +b > done"
        << "a 1/1 finished b 1/1 finished" << QStringList();
    QTest::newRow("a failure leaves the rest waiting, counted anew")
        << "+a,b,c,d > done > open"
        << "a 1/4 next b 2/4 failed" << QStringList{QStringLiteral("c"), QStringLiteral("d")};
    QTest::newRow("waiting files go on in a run of their own")
        << "+a,b,c > lost > done > done"
        << "a 1/3 failed b 1/2 next c 2/2 finished" << QStringList();
    QTest::newRow("files added to waiting ones join them")
        << "+a,b > lost +c > done > done"
        << "a 1/2 failed b 1/2 next c 2/2 finished" << QStringList();
    QTest::newRow("a stop drops the rest, the file out ends the run")
        << "+a,b,c > stop done +d >"
        << "a 1/3 -b,c stopped d 1/1" << QStringList();
    QTest::newRow("a stop that the file outran") << "+a,b > stop done"
                                                 << "a 1/2 -b stopped" << QStringList();
    QTest::newRow("files added after a stop wait for a run of their own")
        << "+a,b > stop +c,d ? done > done > done"
        << "a 1/2 -b a 1/1 stopped c 1/2 next d 2/2 finished" << QStringList();
    QTest::newRow("a stop while nothing is out drops what waits")
        << "+a,b,c > open stop +d >"
        << "a 1/3 failed -b,c d 1/1" << QStringList();
    QTest::newRow("files added first go before those that waited")
        << "+a,b,c > open ^a > done > done > done"
        << "a 1/3 failed a 1/3 next b 2/3 next c 3/3 finished" << QStringList();
    QTest::newRow("files added while the next is held join the run")
        << "+a,b > done hold +c ? > done > done"
        << "a 1/2 next  1/3 b 2/3 next c 3/3 finished" << QStringList();
    QTest::newRow("a stop while the next is held ends the run")
        << "+a,b,c > done hold stop +d >"
        << "a 1/3 next -b,c d 1/1" << QStringList();
    QTest::newRow("an abort without a stop keeps what waits")
        << "+a,b > abort"
        << "a 1/2 stopped" << QStringList{QStringLiteral("b")};
}

void tst_SendQueue::runs()
{
    QFETCH(QString, steps);
    QFETCH(QString, answers);
    QFETCH(QStringList, waiting);
    const QMap<QString, int> codes{{QStringLiteral("done"), TransDone},
                                   {QStringLiteral("open"), TransOpenFailed},
                                   {QStringLiteral("lost"), TransDisconnected},
                                   {QStringLiteral("abort"), TransAborted}};
    const QStringList afterNames{QStringLiteral("next"), QStringLiteral("finished"),
                                 QStringLiteral("stopped"), QStringLiteral("failed")};
    const auto placeText = [](const SendQueue::Place &place) {
        return QStringLiteral("%1 %2/%3").arg(place.path).arg(place.number).arg(place.total);
    };

    SendQueue queue;
    QStringList said;
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        if (step.startsWith(QLatin1Char('+'))) {
            queue.add(step.mid(1).split(QLatin1Char(',')));
        } else if (step.startsWith(QLatin1Char('^'))) {
            queue.addFirst(step.mid(1).split(QLatin1Char(',')));
        } else if (step == QLatin1String(">")) {
            QVERIFY(queue.hasWaiting() && !queue.sending());
            said << placeText(queue.handOver());
            QVERIFY(queue.sending());
        } else if (step == QLatin1String("hold")) {
            queue.holdNext();
            QVERIFY(queue.running() && queue.holding() && !queue.sending());
        } else if (step == QLatin1String("?")) {
            said << placeText(queue.current());
        } else if (step == QLatin1String("stop")) {
            const bool out = queue.sending();
            said << QLatin1Char('-') + queue.stop().join(QLatin1Char(','));
            QCOMPARE(queue.stopping(), out);
            QCOMPARE(queue.running(), out);
        } else {
            QVERIFY2(codes.contains(step), qPrintable(step));
            said << afterNames.at(int(queue.fileEnded(codes.value(step))));
            QVERIFY(!queue.sending() && !queue.stopping());
        }
    }
    QCOMPARE(said.join(QLatin1Char(' ')), answers);
    QCOMPARE(queue.waiting(), waiting);
}

QTEST_GUILESS_MAIN(tst_SendQueue)
#include "tst_sendqueue.moc"
