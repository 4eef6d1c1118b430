// Small rules with no thread or socket of their own: when a lost controller
// is tried again, what settings.ini holds, and when the stall clock runs.

#include "client/reconnectschedule.h"
#include "settings/receiverservices.h"
#include "settings/sendpace.h"
#include "settings/settingsfile.h"
#include "testfiles.h"
#include "transfer/stallclock.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>

using namespace TestFiles;

namespace {

const QString SaveFilePath = QLatin1String(SettingsFile::KeySaveFilePath);
const QString SocketType = QLatin1String(SettingsFile::KeySocketType);
const QString ServerAddress = QLatin1String(SettingsFile::KeyServerAddress);
const QString RecentAddresses = QLatin1String(SettingsFile::KeyRecentAddresses);
const QString AutoReconnect = QLatin1String(SettingsFile::KeyAutoReconnect);
const QString Existing = QLatin1String(SettingsFile::KeyExistingFiles);
const QString ListGeometry = QLatin1String(SettingsFile::KeyTransferListGeometry);
const QString ListColumns = QLatin1String(SettingsFile::KeyTransferListColumns);
const QString Language = QLatin1String(SettingsFile::KeyLanguage);
const QString Appearance = QLatin1String(SettingsFile::KeyAppearance);
const QString SendPaceKey = QLatin1String(SettingsFile::KeySendPace);
const QString FileGapKey = QLatin1String(SettingsFile::KeyFileGap);

// As Notepad starts a UTF-8 file.
const QByteArray Bom = QByteArrayLiteral("\xef\xbb\xbf");

constexpr qint64 PauseMs = 50;

QString utf8(const char *text)
{
    return QString::fromUtf8(text);
}

template <typename T> void put(QVariantMap *map, const QString &key, const std::optional<T> &value)
{
    if (value)
        map->insert(key, QVariant::fromValue(*value));
}

// Widths as a list of variants, which compare by value.
void put(QVariantMap *map, const QString &key, const std::optional<QList<int>> &widths)
{
    if (!widths)
        return;
    QVariantList list;
    for (const int width : *widths)
        list << width;
    map->insert(key, list);
}

// A pace as the text it is written as.
void put(QVariantMap *map, const QString &key, const std::optional<SendPace> &pace)
{
    if (pace)
        map->insert(key, pace->toString());
}

// The keys that are set, with their values.
QVariantMap setKeys(const SettingsFile::Values &values)
{
    QVariantMap map;
    put(&map, SaveFilePath, values.saveFilePath);
    put(&map, SocketType, values.socketType);
    put(&map, ServerAddress, values.serverAddress);
    put(&map, RecentAddresses, values.recentAddresses);
    put(&map, AutoReconnect, values.autoReconnect);
    put(&map, ListGeometry, values.transferListGeometry);
    put(&map, ListColumns, values.transferListColumns);
    put(&map, Language, values.language);
    put(&map, Appearance, values.appearance);
    put(&map, SendPaceKey, values.sendPace);
    put(&map, FileGapKey, values.fileGap);
    if (values.existingFiles)
        map.insert(Existing, ExistingFilesRule::wordOf(*values.existingFiles));
    return map;
}

template <typename T> std::optional<T> take(const QVariantMap &map, const QString &key)
{
    return map.contains(key) ? std::optional<T>(map.value(key).value<T>()) : std::nullopt;
}

SettingsFile::Values valuesOf(const QVariantMap &map)
{
    std::optional<QList<int>> widths;
    if (map.contains(ListColumns)) {
        widths.emplace();
        for (const QVariant &width : map.value(ListColumns).toList())
            widths->append(width.toInt());
    }
    std::optional<SendPace> pace;
    if (map.contains(SendPaceKey))
        pace = SendPace::parse(map.value(SendPaceKey).toString());
    return {take<QString>(map, SaveFilePath),
            take<QString>(map, SocketType),
            take<QString>(map, ServerAddress),
            take<QStringList>(map, RecentAddresses),
            take<bool>(map, AutoReconnect),
            take<QByteArray>(map, ListGeometry),
            widths,
            take<QString>(map, Language),
            take<QString>(map, Appearance),
            pace,
            take<int>(map, FileGapKey),
            map.contains(Existing) ? ExistingFilesRule::of(map.value(Existing).toString())
                                   : std::nullopt};
}

// The toolkit orders the keys its own way on each system.
QByteArrayList sortedLines(QByteArray file)
{
    QByteArrayList lines = file.replace("\r\n", "\n").split('\n');
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

class tst_Policies : public QObject
{
    Q_OBJECT

private slots:
    void reconnectSchedule_data();
    void reconnectSchedule();
    void settingsRead_data();
    void settingsRead();
    void settingsWrite_data();
    void settingsWrite();
    void receiverServices_data();
    void receiverServices();
    void stallClock_data();
    void stallClock();
};

void tst_Policies::reconnectSchedule_data()
{
    // What the caller reports: "connect" a connect began, "up" it succeeded,
    // "lost" the link failed; "wait" and "settle" end the wait or the
    // settling time at once; "stop" is the user's, "off"/"on" the switch.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QList<int>>("waits"); // each wait as it begins
    QTest::addColumn<int>("waitingMs");    // at the end; -1 none
    QTest::addColumn<int>("attempt");      // at the end

    QTest::newRow("refused: 1, 2, 4, 8 s, then 10 s")
        << QStringLiteral("connect lost wait lost wait lost wait lost wait lost wait lost")
        << QList<int>{1000, 2000, 4000, 8000, 10000, 10000} << 10000 << 6;
    QTest::newRow("dropped at once: the waits grow on")
        << QStringLiteral("connect up lost wait up lost") << QList<int>{1000, 2000} << 2000 << 1;
    QTest::newRow("a connection that lasted: short again")
        << QStringLiteral("connect up lost wait up settle lost") << QList<int>{1000, 1000} << 1000
        << 1;
    QTest::newRow("one loss told twice: one wait")
        << QStringLiteral("connect lost lost") << QList<int>{1000} << 1000 << 1;
    QTest::newRow("stopped: no wait, and short again")
        << QStringLiteral("connect lost wait lost stop connect lost wait stop")
        << QList<int>{1000, 2000, 1000} << -1 << 0;
    QTest::newRow("switched off, then on after a loss")
        << QStringLiteral("off connect lost on") << QList<int>{1000} << 1000 << 1;
}

void tst_Policies::reconnectSchedule()
{
    QFETCH(QString, steps);
    QFETCH(QList<int>, waits);
    QFETCH(int, waitingMs);
    QFETCH(int, attempt);
    ReconnectSchedule schedule;
    schedule.setEnabled(true);
    QList<int> begun;
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        const int before = schedule.waitingMs();
        if (step == QLatin1String("connect"))
            schedule.connectStarted();
        else if (step == QLatin1String("up"))
            schedule.connected();
        else if (step == QLatin1String("lost"))
            schedule.linkLost();
        else if (step == QLatin1String("wait"))
            schedule.endWaitNow();
        else if (step == QLatin1String("settle"))
            schedule.endSettlingNow();
        else if (step == QLatin1String("stop"))
            schedule.stop();
        else
            schedule.setEnabled(step == QLatin1String("on"));
        if (schedule.waitingMs() >= 0 && schedule.waitingMs() != before)
            begun << schedule.waitingMs();
    }
    QCOMPARE(begun, waits);
    QCOMPARE(schedule.waitingMs(), waitingMs);
    QCOMPARE(schedule.attempt(), attempt);
}

void tst_Policies::settingsRead_data()
{
    QTest::addColumn<QByteArray>("file"); // null: there is none
    QTest::addColumn<QVariantMap>("values");

    QTest::newRow("no file") << QByteArray() << QVariantMap();
    QTest::newRow("every key, in UTF-8")
        << QByteArray("[General]\nsaveFilePath=/srv/接收目录\nsocketType=client\n"
                      "serverAddress=10.0.0.5\nrecentAddresses=10.0.0.5, kvr-b\n"
                      "autoReconnect=true\n")
        << QVariantMap{
               {SaveFilePath, utf8("/srv/接收目录")},
               {SocketType, QStringLiteral("client")},
               {ServerAddress, QStringLiteral("10.0.0.5")},
               {RecentAddresses, QStringList{QStringLiteral("10.0.0.5"), QStringLiteral("kvr-b")}},
               {AutoReconnect, true}};
    QTest::newRow("an empty value is set")
        << QByteArray("[General]\nsaveFilePath=\n") << QVariantMap{{SaveFilePath, QString()}};
    QTest::newRow("a switch behind a BOM, no section") << Bom + "autoReconnect=FALSE\n"
                                                       << QVariantMap{{AutoReconnect, false}};
    QTest::newRow("a switch neither true nor false is missing")
        << QByteArray("[General]\nautoReconnect=sometimes\n") << QVariantMap();
    QTest::newRow("a list that is not texts is missing")
        << QByteArray("[General]\nrecentAddresses=@Rect(1 2 3 4)\n") << QVariantMap();
    QTest::newRow("the transfer list's window and columns")
        << QByteArray("[General]\ntransferListGeometry=@ByteArray(\\x1zz)\n"
                      "transferListColumns=150, 60, 60\n")
        << QVariantMap{{ListGeometry, QByteArray("\x01zz")},
                       {ListColumns, QVariantList{150, 60, 60}}};
    QTest::newRow("a window that is text and widths that are not are missing")
        << QByteArray("[General]\ntransferListGeometry=tall\ntransferListColumns=150, wide\n")
        << QVariantMap();
    QTest::newRow("the rule for existing files")
        << QByteArray("[General]\nexistingFiles=keep-both\n")
        << QVariantMap{{Existing, QStringLiteral("keep-both")}};
    QTest::newRow("a rule of a later version is missing")
        << QByteArray("[General]\nexistingFiles=rename\n") << QVariantMap();
    QTest::newRow("a width of nothing is missing")
        << QByteArray("[General]\ntransferListColumns=150, 0\n") << QVariantMap();
    QTest::newRow("English and dark")
        << QByteArray("[General]\nlanguage=en\nappearance=dark\n")
        << QVariantMap{{Language, QStringLiteral("en")}, {Appearance, QStringLiteral("dark")}};
    QTest::newRow("a language and a look it does not know are missing")
        << QByteArray("[General]\nlanguage=fr\nappearance=blue\n") << QVariantMap();
    QTest::newRow("a look in capitals, with blanks")
        << QByteArray("[General]\nappearance= Dark \n")
        << QVariantMap{{Appearance, QStringLiteral("dark")}};
    QTest::newRow("full pace, a gap")
        << QByteArray("[General]\nsendPace=FULL\nfileGap=500\n")
        << QVariantMap{{SendPaceKey, QStringLiteral("full")}, {FileGapKey, 500}};
    QTest::newRow("a cap") << QByteArray("[General]\nsendPace=2.5\n")
                           << QVariantMap{{SendPaceKey, QStringLiteral("2.5")}};
    QTest::newRow("paced is read as set")
        << QByteArray("[General]\nsendPace=paced\nfileGap=0\n")
        << QVariantMap{{SendPaceKey, QStringLiteral("paced")}, {FileGapKey, 0}};
    for (const char *pace : {"fast", "0", "-1", "1e9", "nan"})
        QTest::newRow(
            qPrintable(QStringLiteral("a pace of %1 is missing").arg(QLatin1String(pace))))
            << QByteArray("[General]\nsendPace=") + pace + "\n"
            << QVariantMap();
    for (const char *gap : {"-5", "soon", "1.5"})
        QTest::newRow(qPrintable(QStringLiteral("a gap of %1 is missing").arg(QLatin1String(gap))))
            << QByteArray("[General]\nfileGap=") + gap + "\n"
            << QVariantMap();
}

void tst_Policies::settingsRead()
{
    QFETCH(QByteArray, file);
    QFETCH(QVariantMap, values);
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(SettingsFile::FileName));
    if (!file.isNull())
        QVERIFY(writeFile(path, file));
    QCOMPARE(setKeys(SettingsFile::read(path)), values);
}

void tst_Policies::settingsWrite_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file yet
    QTest::addColumn<QVariantMap>("values");
    QTest::addColumn<QByteArray>("after"); // in any order, line ends as on Linux

    QTest::newRow("every key, in UTF-8")
        << QByteArray()
        << QVariantMap{{SaveFilePath, utf8("/srv/接收目录")},
                       {SocketType, QStringLiteral("client")},
                       {ServerAddress, QStringLiteral("10.0.0.5")},
                       {RecentAddresses,
                        QStringList{QStringLiteral("10.0.0.5"), QStringLiteral("kvr-b")}},
                       {AutoReconnect, true}}
        << QByteArray("[General]\nautoReconnect=true\nrecentAddresses=10.0.0.5, kvr-b\n"
                      "saveFilePath=/srv/接收目录\nserverAddress=10.0.0.5\nsocketType=client\n");
#ifdef Q_OS_WIN
    const QByteArray folderLine = "saveFilePath=C:/接收/kvr\n";
#else
    // Here a backslash belongs to the name: escaped, it reads back.
    const QByteArray folderLine = "saveFilePath=C:\\\\接收\\\\kvr\n";
#endif
    QTest::newRow("a Windows folder, with slashes")
        << QByteArray() << QVariantMap{{SaveFilePath, utf8("C:\\接收\\kvr")}}
        << QByteArray("[General]\n" + folderLine);
    QTest::newRow("the transfer list's window and columns")
        << QByteArray()
        << QVariantMap{{ListGeometry, QByteArray("\x01zz")}, {ListColumns, QVariantList{150, 60}}}
        << QByteArray("[General]\ntransferListColumns=150, 60\n"
                      "transferListGeometry=@ByteArray(\\x1zz)\n");
    QTest::newRow("off and empty lists take their keys, the rest stays")
        << QByteArray("[General]\nautoReconnect=true\nrecentAddresses=a, b\nserverAddress=x\n"
                      "transferListColumns=1, 2\ntransferListGeometry=@ByteArray(x)\n")
        << QVariantMap{{AutoReconnect, false},
                       {RecentAddresses, QStringList()},
                       {ListGeometry, QByteArray()},
                       {ListColumns, QVariantList()}}
        << QByteArray("[General]\nserverAddress=x\n");
    QTest::newRow("a language and a look beside the defaults")
        << QByteArray()
        << QVariantMap{{Language, QStringLiteral("en")}, {Appearance, QStringLiteral("system")}}
        << QByteArray("[General]\nappearance=system\nlanguage=en\n");
    QTest::newRow("the default language and look take their keys")
        << QByteArray("[General]\nappearance=dark\nlanguage=en\nserverAddress=x\n")
        << QVariantMap{{Language, QStringLiteral("zh_CN")}, {Appearance, QStringLiteral("light")}}
        << QByteArray("[General]\nserverAddress=x\n");
    QTest::newRow("a rule for existing files, the default not written")
        << QByteArray("[General]\nexistingFiles=keep-both\nserverAddress=x\n")
        << QVariantMap{{Existing, QStringLiteral("overwrite")}}
        << QByteArray("[General]\nserverAddress=x\n");
    QTest::newRow("a rule for existing files")
        << QByteArray() << QVariantMap{{Existing, QStringLiteral("skip-identical")}}
        << QByteArray("[General]\nexistingFiles=skip-identical\n");
    QTest::newRow("a key behind a BOM is written once")
        << Bom + "serverAddress=10.0.0.1\n"
        << QVariantMap{{ServerAddress, QStringLiteral("10.0.0.2")}}
        << QByteArray("[General]\nserverAddress=10.0.0.2\n");
    QTest::newRow("a cap and a gap")
        << QByteArray() << QVariantMap{{SendPaceKey, QStringLiteral("20")}, {FileGapKey, 500}}
        << QByteArray("[General]\nfileGap=500\nsendPace=20\n");
    QTest::newRow("full pace") << QByteArray() << QVariantMap{{SendPaceKey, QStringLiteral("full")}}
                               << QByteArray("[General]\nsendPace=full\n");
    QTest::newRow("the default pace and no gap take their keys")
        << QByteArray("[General]\nfileGap=500\nsendPace=full\nserverAddress=x\n")
        << QVariantMap{{SendPaceKey, QStringLiteral("paced")}, {FileGapKey, 0}}
        << QByteArray("[General]\nserverAddress=x\n");
}

void tst_Policies::settingsWrite()
{
    QFETCH(QByteArray, before);
    QFETCH(QVariantMap, values);
    QFETCH(QByteArray, after);
    QTemporaryDir dir;
    const QString path =
        dir.filePath(QStringLiteral("new/") + QLatin1String(SettingsFile::FileName));
    if (!before.isNull())
        QVERIFY(QDir().mkpath(QFileInfo(path).path()) && writeFile(path, before));
    QVERIFY(SettingsFile::write(path, valuesOf(values)));
    QCOMPARE(sortedLines(readFile(path)), sortedLines(after));
}

void tst_Policies::receiverServices_data()
{
    QTest::addColumn<QStringList>("running");  // systemd's marks of running units
    QTest::addColumn<QStringList>("settings"); // instances with settings: NAME=address
    QTest::addColumn<QStringList>("controllers");

    const QString line1 = QStringLiteral("invocation:kvr-transfer-receiver@line1.service");
    QTest::newRow("an instance that runs")
        << QStringList{line1} << QStringList{QStringLiteral("line1=10.0.0.5")}
        << QStringList{QStringLiteral("10.0.0.5")};
    QTest::newRow("an instance that does not run")
        << QStringList{QStringLiteral("invocation:cron.service")}
        << QStringList{QStringLiteral("line1=10.0.0.5")} << QStringList();
    QTest::newRow("one that runs without settings, or without an address")
        << QStringList{line1, QStringLiteral("invocation:kvr-transfer-receiver@line2.service")}
        << QStringList{QStringLiteral("line2=")} << QStringList();
}

void tst_Policies::receiverServices()
{
    QFETCH(QStringList, running);
    QFETCH(QStringList, settings);
    QFETCH(QStringList, controllers);
#ifdef Q_OS_WIN
    QSKIP("systemd's marks hold a colon, which no Windows file name may");
#endif
    QTemporaryDir dir;
    const ReceiverServices::SystemdPlaces places{dir.filePath(QStringLiteral("units")),
                                                 dir.filePath(QStringLiteral("etc"))};
    QVERIFY(QDir().mkpath(places.runningUnits) && QDir().mkpath(places.settings));
    for (const QString &unit : running)
        QVERIFY(writeFile(places.runningUnits + QLatin1Char('/') + unit, QByteArray()));
    for (const QString &instance : settings) {
        const QStringList parts = instance.split(QLatin1Char('='));
        QVERIFY(writeFile(places.settings + QLatin1Char('/') + parts[0] + QStringLiteral(".ini"),
                          "[General]\nserverAddress=" + parts[1].toUtf8() + '\n'));
    }
    QCOMPARE(ReceiverServices::systemdControllers(places), controllers);
}

void tst_Policies::stallClock_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("released"); // the hold, before the pause
    QTest::addColumn<bool>("busy");     // the pause is spent handling a chunk
    QTest::addColumn<bool>("runs");     // the pause counts

    QTest::newRow("quiet") << false << false << false << true;
    QTest::newRow("held") << true << false << false << false;
    QTest::newRow("held, then released") << true << true << false << true;
    QTest::newRow("busy") << false << false << true << false;
    QTest::newRow("busy while held") << true << false << true << false;
}

void tst_Policies::stallClock()
{
    QFETCH(bool, held);
    QFETCH(bool, released);
    QFETCH(bool, busy);
    QFETCH(bool, runs);
    StallClock clock;
    clock.start();
    if (held)
        clock.setHeld(true);
    if (released)
        clock.setHeld(false);
    const qint64 before = clock.nowMs();
    const auto pause = [] { QThread::msleep(PauseMs); };
    if (busy)
        clock.whileBusy(pause);
    else
        pause();
    const qint64 ran = clock.nowMs() - before;
    QVERIFY2(ran >= 0, "the clock went back");
    QCOMPARE(ran >= PauseMs, runs);
}

QTEST_GUILESS_MAIN(tst_Policies)
#include "tst_policies.moc"
