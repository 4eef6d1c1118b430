// The rate shown while a transfer runs: what it makes of the byte counts it
// is fed over time.

#include "transfer/transferrate.h"

#include <QtTest>

namespace {

struct Stretch
{
    qint64 ms;          // length of the stretch
    quint64 bytesPerMs; // speed during it
};

} // namespace

Q_DECLARE_METATYPE(QVector<Stretch>)

class tst_TransferRate : public QObject
{
    Q_OBJECT

private slots:
    void rateOverTheLastSecond_data();
    void rateOverTheLastSecond();
};

void tst_TransferRate::rateOverTheLastSecond_data()
{
    QTest::addColumn<QVector<Stretch>>("stretches");
    QTest::addColumn<double>("bytesPerSecond");
    QTest::addColumn<qint64>("secondsLeftOf5MB");

    QTest::newRow("nothing yet") << QVector<Stretch>{} << 0.0 << qint64(-1);
    QTest::newRow("steady") << QVector<Stretch>{{3000, 1000}} << 1e6 << qint64(5);
    QTest::newRow("under a second so far") << QVector<Stretch>{{300, 2000}} << 2e6 << qint64(3);
    // The average since the start would say 0.4 MB/s.
    QTest::newRow("sped up") << QVector<Stretch>{{2000, 100}, {1000, 1000}} << 1e6 << qint64(5);
    QTest::newRow("slowed down") << QVector<Stretch>{{5000, 1000}, {1500, 100}} << 1e5
                                 << qint64(50);
    QTest::newRow("stalled") << QVector<Stretch>{{1000, 1000}, {1500, 0}} << 0.0 << qint64(-1);
}

// Samples every 10 ms, as a progress display would.
void tst_TransferRate::rateOverTheLastSecond()
{
    QFETCH(QVector<Stretch>, stretches);
    QFETCH(double, bytesPerSecond);
    QFETCH(qint64, secondsLeftOf5MB);

    TransferRate rate;
    qint64 now = 0;
    quint64 bytes = 0;
    rate.add(now, bytes);
    for (const Stretch &stretch : stretches) {
        for (qint64 ms = 0; ms < stretch.ms; ms += 10) {
            now += 10;
            bytes += 10 * stretch.bytesPerMs;
            rate.add(now, bytes);
        }
    }
    QCOMPARE(rate.bytesPerSecond(), bytesPerSecond);
    QCOMPARE(rate.secondsLeft(5000000), secondsLeftOf5MB);
}

QTEST_APPLESS_MAIN(tst_TransferRate)
#include "tst_transferrate.moc"
