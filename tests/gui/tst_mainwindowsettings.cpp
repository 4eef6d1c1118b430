// settings.ini: what the window makes of it at start-up (titles on the way,
// page, addresses, receive directory) and what it writes back at exit.

#include "testfiles.h"
#include "windowtest.h"

#include "app/appearance.h"
#include "app/settingsdialog.h"
#include "net/sendthread.h"
#include "settings/recentaddresses.h"
#include "transfer/crossthreadvalues.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <unistd.h>
#endif

using namespace WindowTest;

namespace {

using Settings = QVariantMap;

const QString KeyDir = QStringLiteral("saveFilePath");
const QString KeyType = QStringLiteral("socketType");
const QString KeyAddress = QStringLiteral("serverAddress");
const QString KeyRecent = QStringLiteral("recentAddresses");
const QString KeyAutoReconnect = QStringLiteral("autoReconnect");

const QString Loopback = QStringLiteral("127.0.0.1");
// The address the window falls back on; it must never be reached from here.
const QString FallbackAddress = QStringLiteral("192.168.1.10");

QString formTitle()
{
    return QStringLiteral("MainWindow");
}

QString serverTitle()
{
    return QString::fromUtf8("服务端(2.4)");
}

QString clientTitle()
{
    return QString::fromUtf8("KVR文件网络传输助手(2.4)");
}

QString appDir()
{
    return QCoreApplication::applicationDirPath();
}

// Any window but one that connects to plain 127.0.0.1 (the fallback address
// is private, a padded one goes to the resolver) is built only inside the
// test's loopback-only network namespace, where such attempts fail at once.
bool mayConstruct(bool fileExists, const Settings &settings)
{
    const bool loopbackOnly = fileExists && settings.value(KeyAddress) == Loopback;
    return loopbackOnly || qEnvironmentVariable("KVR_IN_NETNS") == QLatin1String("1");
}

void prepareSettings(bool fileExists, const Settings &settings)
{
    if (fileExists)
        writeSettings(settings);
    else
        removeSettings();
}

QLineEdit *lineEdit(const MainWindow &window, const char *name)
{
    return window.findChild<QLineEdit *>(QLatin1String(name));
}

int currentPage(const MainWindow &window)
{
    return window.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"))->currentIndex();
}

QCompleter *addressCompleter(const MainWindow &window)
{
    return lineEdit(window, "serverAddressLineEdit")->completer();
}

// The recent addresses the address field offers, in their order.
QStringList offeredAddresses(const MainWindow &window)
{
    const QAbstractItemModel *model = addressCompleter(window)->model();
    QStringList addresses;
    for (int row = 0; row < model->rowCount(); ++row)
        addresses << model->index(row, 0).data().toString();
    return addresses;
}

QStringList savedRecentAddresses()
{
    return QSettings(settingsFilePath(), QSettings::IniFormat).value(KeyRecent).toStringList();
}

// settings.ini as a user may have edited it: these lines after the address.
void writeRawSettings(const QByteArray &lines)
{
    removeSettings();
    QFile file(settingsFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General]\nserverAddress=127.0.0.1\n" + lines + '\n');
}

// Matches exactly one line that qDebug() prints for a label and a string.
QRegularExpression debugLine(const char *label, const QString &value)
{
    const QString line = QLatin1String(label) + QStringLiteral(" \"") + value + QLatin1Char('"');
    return QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(line) +
                              QLatin1Char('$'));
}

// Records every title the main window takes while it exists, the form's own
// included.
class TitleRecorder : public QObject
{
public:
    TitleRecorder() { qApp->installEventFilter(this); }
    ~TitleRecorder() override { qApp->removeEventFilter(this); }

    QStringList titles;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::WindowTitleChange) {
            if (const auto *window = qobject_cast<QMainWindow *>(watched))
                titles << window->windowTitle();
        }
        return false;
    }
};

// Gives this thread, the one that lists the local addresses, a host name
// that no resolver knows; false where it cannot.
bool renameHostUnresolvable()
{
#ifdef Q_OS_LINUX
    static const char name[] = "kvr-renamed.invalid";
    return qEnvironmentVariable("KVR_IN_NETNS") == QLatin1String("1") &&
           unshare(CLONE_NEWUTS) == 0 && sethostname(name, sizeof name - 1) == 0;
#else
    return false;
#endif
}

// The log's menu holds the standard actions and the window's own, the last
// two each opening its place: the folder files go to, and the history.
void opensFromLogMenu(MainWindow &window, const QString &history)
{
    const WindowTest::DesktopRecord &desktop = WindowTest::recordDesktop(window);
    QMenu *menu = WindowTest::openLogMenu(window);
    QVERIFY(menu);
    QStringList texts;
    for (QAction *action : menu->actions())
        texts << action->text();
    QVERIFY2(texts.size() > 3, qPrintable(texts.join(QLatin1Char('|'))));
    QCOMPARE(texts.mid(texts.size() - 2),
             (QStringList{QString::fromUtf8("打开接收文件夹"), QString::fromUtf8("打开传输记录")}));
    menu->actions().at(texts.size() - 2)->trigger();
    menu->actions().at(texts.size() - 1)->trigger();
    menu->close();
    const QString folder = saveFilePath.get();
    QCOMPARE(desktop.opened.mid(desktop.opened.size() - 2),
             (QList<QUrl>{QUrl::fromLocalFile(folder.isEmpty() ? appDir() : folder),
                          QUrl::fromLocalFile(history)}));
}

} // namespace

class TestMainWindowSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void startUpTitles_data();
    void startUpTitles();
    void firstStart();
    void serverAddress_data();
    void serverAddress();
    void receiveDirectory_data();
    void receiveDirectory();
    void savedAtExit_data();
    void savedAtExit();
    void settingsLocation_data();
    void settingsLocation();
    void failedWriteReported();
    void recentAddressRules_data();
    void recentAddressRules();
    void recentAddressesLoaded_data();
    void recentAddressesLoaded();
    void recentAddressesSavedAtExit_data();
    void recentAddressesSavedAtExit();
    void recentAddressPopup();
    void autoReconnectSetting_data();
    void autoReconnectSetting();
    void settingsDialog_data();
    void settingsDialog();

private:
    QTemporaryDir m_configHome;
};

// The per-user settings file goes to a folder of the test's own; the
// application name is the one main() gives the window.
void TestMainWindowSettings::initTestCase()
{
    QVERIFY(m_configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
}

// Each window starts as the process would: the receive directory empty.
void TestMainWindowSettings::init()
{
    saveFilePath.set(QString());
}

void TestMainWindowSettings::startUpTitles_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QStringList>("titles");

    QTest::newRow("no file") << false << Settings()
                             << QStringList{formTitle(), serverTitle(), clientTitle()};
    QTest::newRow("server") << true
                            << Settings{{KeyType, QStringLiteral("server")}, {KeyAddress, Loopback}}
                            << QStringList{formTitle(), serverTitle(), clientTitle()};
    QTest::newRow("Server") << true
                            << Settings{{KeyType, QStringLiteral("Server")}, {KeyAddress, Loopback}}
                            << QStringList{formTitle(), clientTitle()};
    QTest::newRow("client") << true
                            << Settings{{KeyType, QStringLiteral("client")}, {KeyAddress, Loopback}}
                            << QStringList{formTitle(), clientTitle()};
    QTest::newRow("no socketType")
        << true << Settings{{KeyAddress, Loopback}} << QStringList{formTitle(), clientTitle()};
}

void TestMainWindowSettings::startUpTitles()
{
    QFETCH(bool, fileExists);
    QFETCH(Settings, settings);
    QFETCH(QStringList, titles);
    if (!mayConstruct(fileExists, settings))
        QSKIP("Would reach beyond 127.0.0.1: run it through scripts/netns-run");
    prepareSettings(fileExists, settings);

    TitleRecorder recorder;
    const MainWindow window;
    QCOMPARE(recorder.titles, titles);
    QCOMPARE(window.windowTitle(), titles.last());
    QCOMPARE(currentPage(window), 1);
}

void TestMainWindowSettings::firstStart()
{
    if (!mayConstruct(false, Settings()))
        QSKIP("Would reach beyond 127.0.0.1: run it through scripts/netns-run");
    removeSettings();

    auto window = std::make_unique<MainWindow>();
    QCOMPARE(lineEdit(*window, "serverAddressLineEdit")->text(), FallbackAddress);
    QCOMPARE(window->worker()->controllerAddress.get(), FallbackAddress);
    QCOMPARE(lineEdit(*window, "dirShowLineEdit")->text(), appDir());
    QCOMPARE(saveFilePath.get(), appDir());
    QVERIFY(!QFile::exists(settingsFilePath()));

    window.reset();
    QVERIFY(QFile::exists(settingsFilePath()));
}

void TestMainWindowSettings::serverAddress_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("connectedTo");

    QTest::newRow("missing") << Settings{{KeyType, QStringLiteral("client")}} << FallbackAddress
                             << FallbackAddress;
    QTest::newRow("stored") << Settings{{KeyAddress, Loopback}} << Loopback << Loopback;
    const QString padded = QStringLiteral(" 127.0.0.1\t ");
    QTest::newRow("blanks around") << Settings{{KeyAddress, padded}} << padded << Loopback;
}

void TestMainWindowSettings::serverAddress()
{
    QFETCH(Settings, settings);
    QFETCH(QString, shown);
    QFETCH(QString, connectedTo);
    if (!mayConstruct(true, settings))
        QSKIP("Would reach beyond 127.0.0.1: run it through scripts/netns-run");
    writeSettings(settings);

    const MainWindow window;
    QCOMPARE(lineEdit(window, "serverAddressLineEdit")->text(), shown);
    QCOMPARE(window.worker()->controllerAddress.get(), connectedTo);
}

void TestMainWindowSettings::receiveDirectory_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QByteArray>("handWritten"); // the whole file, instead of the settings
    QTest::addColumn<QString>("dir");

    QTest::newRow("missing") << Settings{{KeyAddress, Loopback}} << QByteArray() << appDir();
    QTest::newRow("empty") << Settings{{KeyDir, QString()}, {KeyAddress, Loopback}} << QByteArray()
                           << QString();
    const QString chinese = QString::fromUtf8("/srv/接收目录");
    QTest::newRow("stored") << Settings{{KeyDir, chinese}, {KeyAddress, Loopback}} << QByteArray()
                            << chinese;
    const QString spaced = QString::fromUtf8("/srv/接收 文件夹");
    QTest::newRow("stored by an older version")
        << Settings()
        << QByteArray("[General]\nsaveFilePath=/srv/\\x63a5\\x6536 \\x6587\\x4ef6"
                      "\\x5939\nserverAddress=127.0.0.1\n")
        << spaced;
    const QByteArray utf8Lines = "saveFilePath=" + spaced.toUtf8() + "\nserverAddress=127.0.0.1\n";
    QTest::newRow("hand-written in UTF-8")
        << Settings() << QByteArray("[General]\n" + utf8Lines) << spaced;
    QTest::newRow("hand-written in UTF-8 with a BOM")
        << Settings() << QByteArray("\xef\xbb\xbf[General]\n" + utf8Lines) << spaced;
    QTest::newRow("hand-written in UTF-8 with a BOM, no section")
        << Settings() << QByteArray("\xef\xbb\xbf" + utf8Lines) << spaced;
}

// The receive engine takes its directory from the field.
void TestMainWindowSettings::receiveDirectory()
{
    QFETCH(Settings, settings);
    QFETCH(QByteArray, handWritten);
    QFETCH(QString, dir);
    writeSettings(settings);
    if (!handWritten.isEmpty())
        QVERIFY(TestFiles::writeFile(settingsFilePath(), handWritten));

    const MainWindow window;
    QCOMPARE(lineEdit(window, "dirShowLineEdit")->text(), dir);
    QCOMPARE(saveFilePath.get(), dir);
}

void TestMainWindowSettings::savedAtExit_data()
{
    QTest::addColumn<Settings>("settings");
    // Typed into the fields before the window closes; null: left alone.
    QTest::addColumn<QString>("typedDir");
    QTest::addColumn<QString>("typedAddress");

    QTest::newRow("loaded from server page")
        << Settings{{KeyType, QStringLiteral("server")}, {KeyAddress, Loopback}} << QString()
        << QString();
    QTest::newRow("typed") << Settings{{KeyDir, QStringLiteral("/tmp")},
                                       {KeyType, QStringLiteral("client")},
                                       {KeyAddress, Loopback}}
                           << QString::fromUtf8("/srv/接收目录") << QStringLiteral(" 127.0.0.1 ");
    QTest::newRow("emptied") << Settings{{KeyDir, QStringLiteral("/tmp")}, {KeyAddress, Loopback}}
                             << QStringLiteral("") << QStringLiteral("");
}

void TestMainWindowSettings::savedAtExit()
{
    QFETCH(Settings, settings);
    QFETCH(QString, typedDir);
    QFETCH(QString, typedAddress);
    writeSettings(settings);

    auto window = std::make_unique<MainWindow>();
    QLineEdit *dirField = lineEdit(*window, "dirShowLineEdit");
    QLineEdit *addressField = lineEdit(*window, "serverAddressLineEdit");
    if (!typedDir.isNull())
        dirField->setText(typedDir);
    if (!typedAddress.isNull())
        addressField->setText(typedAddress);
    const QString dir = dirField->text();
    const QString address = addressField->text();
    QCOMPARE(saveFilePath.get(), dir);

    QTest::ignoreMessage(QtDebugMsg, debugLine("ui->dirShowLineEdit->text()=", dir));
    QTest::ignoreMessage(QtDebugMsg, debugLine("ui->serverAddressLineEdit->text()=", address));
    window.reset();

    QSettings saved(settingsFilePath(), QSettings::IniFormat);
    saved.setIniCodec("UTF-8");
    QStringList keys = saved.allKeys();
    keys.sort();
    // Nothing was reached, so there is no list of recent addresses, and
    // reconnecting is off, as by default: the keys are the ones they were.
    QCOMPARE(keys, (QStringList{KeyDir, KeyAddress, KeyType}));
    QCOMPARE(saved.value(KeyType).toString(), QStringLiteral("client"));
    QCOMPARE(saved.value(KeyDir).toString(), dir);
    QCOMPARE(saved.value(KeyAddress).toString(), address);
}

void TestMainWindowSettings::settingsLocation_data()
{
    QTest::addColumn<QString>("besideProgram"); // a file there, or none
    QTest::addColumn<bool>("programDirWritable");
    QTest::addColumn<bool>("homeHasDownloads");
    QTest::addColumn<bool>("portable");
    QTest::addColumn<QByteArray>("userSettings"); // the user's file before the start, or none
    QTest::addColumn<bool>("hostResolves");

    // Root can write anywhere: a writable folder alone makes no portable copy.
    QTest::newRow("installed, writable folder")
        << QString() << true << true << false << QByteArray() << true;
    QTest::newRow("installed, read-only folder")
        << QString() << false << true << false << QByteArray() << true;
    QTest::newRow("installed, no downloads")
        << QString() << true << false << false << QByteArray() << true;
    QTest::newRow("portable by marker")
        << QStringLiteral("portable.txt") << true << true << true << QByteArray() << true;
    QTest::newRow("portable by settings")
        << QStringLiteral("settings.ini") << false << true << true << QByteArray() << true;
    // As an earlier version saved it after a start without a local address.
    QTest::newRow("installed, saved without a folder")
        << QString() << true << true << false
        << QByteArray("[General]\nsaveFilePath=\nserverAddress=127.0.0.1\n") << true;
    // A renamed machine without DNS lists no local address. It renames this
    // process for good, so it comes last.
    QTest::newRow("installed, host name unresolved")
        << QString() << true << true << false << QByteArray() << false;
}

// Where settings.ini is read and written, and where a first start receives:
// a portable copy beside itself, an installed one in the user's folders and
// a receive folder of the tool's own, never the home folder itself. The
// log's menu opens the receive folder and the history beside settings.ini.
void TestMainWindowSettings::settingsLocation()
{
    QFETCH(QString, besideProgram);
    QFETCH(bool, programDirWritable);
    QFETCH(bool, homeHasDownloads);
    QFETCH(bool, portable);
    QFETCH(QByteArray, userSettings);
    QFETCH(bool, hostResolves);
    if (!mayConstruct(false, Settings()))
        QSKIP("Would reach beyond 127.0.0.1: run it through scripts/netns-run");
    if (!hostResolves && !renameHostUnresolvable())
        QSKIP("Needs a host name of its own: Linux, in the test's own namespaces");
    const QTemporaryDir root;
    const QString programDir = root.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(programDir));
    if (!besideProgram.isEmpty())
        QVERIFY(TestFiles::writeFile(programDir + QLatin1Char('/') + besideProgram, QByteArray()));
    const QString home = root.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkpath(home + (homeHasDownloads ? QStringLiteral("/Downloads") : QString())));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    const QString userFile = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                             QStringLiteral("/settings.ini");
    QFile::remove(userFile);
    if (!userSettings.isEmpty())
        QVERIFY(TestFiles::writeFile(userFile, userSettings));
    if (!programDirWritable)
        QFile::setPermissions(programDir, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                              QFile::ExeOther);

    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString userDir = (QFileInfo(downloads).isDir() ? downloads : QDir::homePath()) +
                            QStringLiteral("/") + QCoreApplication::applicationName();
    // Windows keeps its profile whatever HOME says: leave no folder there.
    QDir(userDir).removeRecursively();
    const auto removeUserDir = qScopeGuard([&] { QDir(userDir).removeRecursively(); });

    auto window = std::make_unique<MainWindow>(programDir);
    if (!hostResolves)
        QCOMPARE(window->findChild<QComboBox *>(QStringLiteral("localIpComBox"))->count(), 0);
    QCOMPARE(lineEdit(*window, "dirShowLineEdit")->text(), portable ? appDir() : userDir);
    QCOMPARE(QFileInfo(userDir).isDir(), !portable);
    const QString history =
        QFileInfo(portable ? programDir + QStringLiteral("/settings.ini") : userFile)
            .absolutePath() +
        QStringLiteral("/history.csv");
    QFile::remove(history);
    QVERIFY(QDir().mkpath(QFileInfo(history).absolutePath()));
    QVERIFY(TestFiles::writeFile(history, "time\r\n"));
    const auto removeHistory = qScopeGuard([&] { QFile::remove(history); });
    opensFromLogMenu(*window, history);
    // Emptied by hand, the field of an installed copy still means its folder.
    lineEdit(*window, "dirShowLineEdit")->clear();
    QCOMPARE(saveFilePath.get(), portable ? QString() : userDir);
    opensFromLogMenu(*window, history);
    lineEdit(*window, "serverAddressLineEdit")->setText(Loopback);
    window.reset();
    qputenv("HOME", oldHome);
    QFile::setPermissions(programDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(QFileInfo::exists(programDir + QStringLiteral("/settings.ini")), portable);
    QCOMPARE(QFileInfo::exists(userFile), !portable);
}

void TestMainWindowSettings::failedWriteReported()
{
    if (!mayConstruct(true, Settings()))
        QSKIP("Would reach beyond 127.0.0.1: run it through scripts/netns-run");
    // A settings.ini that is a folder: it is chosen, and nobody can write it.
    const QTemporaryDir programDir;
    QVERIFY(QDir(programDir.path()).mkdir(QStringLiteral("settings.ini")));

    auto window = std::make_unique<MainWindow>(programDir.path());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("settings.ini")));
    window.reset();
}

void TestMainWindowSettings::recentAddressRules_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QStringList>("reached"); // in this order
    QTest::addColumn<QStringList>("recent");

    QStringList ten;
    for (int i = 1; i <= RecentAddresses::MaxCount; ++i)
        ten << QStringLiteral("10.0.0.%1").arg(i);
    QTest::newRow("first") << QStringList() << QStringList{QStringLiteral("10.0.0.5")}
                           << QStringList{QStringLiteral("10.0.0.5")};
    QTest::newRow("most recent first")
        << QStringList()
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}
        << QStringList{QStringLiteral("c"), QStringLiteral("b"), QStringLiteral("a")};
    QTest::newRow("known moves to the top")
        << QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}
        << QStringList{QStringLiteral("b")}
        << QStringList{QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("c")};
    QTest::newRow("names ignore case") << QStringList{QStringLiteral("kvr-a"), QStringLiteral("b")}
                                       << QStringList{QStringLiteral("KVR-A")}
                                       << QStringList{QStringLiteral("KVR-A"), QStringLiteral("b")};
    QTest::newRow("blanks around")
        << QStringList() << QStringList{QStringLiteral(" a\t")} << QStringList{QStringLiteral("a")};
    QTest::newRow("nothing") << QStringList{QStringLiteral("a")} << QStringList{QStringLiteral(" ")}
                             << QStringList{QStringLiteral("a")};
    QTest::newRow("an eleventh pushes out the oldest")
        << ten << QStringList{QStringLiteral("kvr")}
        << QStringList{QStringLiteral("kvr")} + ten.mid(0, RecentAddresses::MaxCount - 1);
    QTest::newRow("the newest of ten moves up")
        << ten << QStringList{ten.last()} << QStringList{ten.last()} + ten.mid(0, 9);
    QTest::newRow("a stored list is cleaned")
        << QStringList{QStringLiteral(" a "), QString(), QStringLiteral("A"), QStringLiteral("b")} +
               ten
        << QStringList() << QStringList{QStringLiteral("a"), QStringLiteral("b")} + ten.mid(0, 8);
}

void TestMainWindowSettings::recentAddressRules()
{
    QFETCH(QStringList, stored);
    QFETCH(QStringList, reached);
    QFETCH(QStringList, recent);

    RecentAddresses addresses(stored);
    for (const QString &address : reached)
        addresses.remember(address);
    QCOMPARE(addresses.list(), recent);
}

void TestMainWindowSettings::recentAddressesLoaded_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("offered");

    QTest::newRow("an older file without the key") << QByteArray() << QStringList();
    QTest::newRow("two") << QByteArray("recentAddresses=10.0.0.1, kvr-b")
                         << QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("kvr-b")};
    QTest::newRow("one") << QByteArray("recentAddresses=10.0.0.1")
                         << QStringList{QStringLiteral("10.0.0.1")};
    QTest::newRow("edited by hand")
        << QByteArray("recentAddresses=\" kvr-b \", , KVR-B, h1, h2, h3, h4, h5, h6, h7, h8, h9, "
                      "h10")
        << QStringList{QStringLiteral("kvr-b"), QStringLiteral("h1"), QStringLiteral("h2"),
                       QStringLiteral("h3"),    QStringLiteral("h4"), QStringLiteral("h5"),
                       QStringLiteral("h6"),    QStringLiteral("h7"), QStringLiteral("h8"),
                       QStringLiteral("h9")};
    QTest::newRow("not a list") << QByteArray("recentAddresses=@Rect(1 2 3 4)") << QStringList();
    QTest::newRow("damaged") << QByteArray("recentAddresses=@Variant(\\0\\0\\0\\x7f\\x1)")
                             << QStringList();
}

// Whatever the key holds, the window starts with the rest of its settings.
void TestMainWindowSettings::recentAddressesLoaded()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, offered);
    writeRawSettings(line);

    const MainWindow window;
    QVERIFY(addressCompleter(window));
    QCOMPARE(offeredAddresses(window), offered);
    QCOMPARE(lineEdit(window, "serverAddressLineEdit")->text(), Loopback);
    QCOMPARE(window.worker()->controllerAddress.get(), Loopback);
}

void TestMainWindowSettings::recentAddressesSavedAtExit_data()
{
    QTest::addColumn<bool>("reached");
    QTest::addColumn<QStringList>("saved");

    const QString first = QStringLiteral("10.0.0.1");
    const QString last = QStringLiteral("10.0.0.2");
    QTest::newRow("reached") << true << QStringList{Loopback, first, last};
    // An address that never answered pushes no good one down.
    QTest::newRow("refused") << false << QStringList{first, Loopback, last};
}

// Moved up once the connection is made, written at exit, offered again by
// the next window.
void TestMainWindowSettings::recentAddressesSavedAtExit()
{
    QFETCH(bool, reached);
    QFETCH(QStringList, saved);
    writeSettings({{KeyAddress, Loopback},
                   {KeyRecent, QStringList{QStringLiteral("10.0.0.1"), Loopback,
                                           QStringLiteral("10.0.0.2")}}});
    QTcpServer controller;
    if (reached)
        QVERIFY(controller.listen(QHostAddress::LocalHost, 8080));

    auto window = std::make_unique<MainWindow>();
    const QString outcome = reached ? connectedLine() : utf8("已和KVR控制器断开连接\n");
    QTRY_VERIFY_WITH_TIMEOUT(logText(*window).contains(outcome), 10000);
    window.reset();
    QCOMPARE(savedRecentAddresses(), saved);

    window = std::make_unique<MainWindow>();
    QCOMPARE(offeredAddresses(*window), saved);
}

// A click into the empty field or the Down key offers every address; typing
// narrows them; Delete takes the one picked out of the list for good.
void TestMainWindowSettings::recentAddressPopup()
{
    const QString kvrA = QStringLiteral("10.0.0.1");
    const QString kvrB = QStringLiteral("10.0.0.2");
    const QString lab = QStringLiteral("192.168.5.20");
    writeSettings({{KeyAddress, Loopback}, {KeyRecent, QStringList{kvrA, kvrB, lab}}});
    auto window = std::make_unique<MainWindow>();
    window->show();
    QLineEdit *field = lineEdit(*window, "serverAddressLineEdit");
    QCompleter *completer = field->completer();
    QVERIFY(completer);
    QAbstractItemView *popup = completer->popup();

    field->clear();
    QTest::mouseClick(field, Qt::LeftButton);
    QTRY_VERIFY(popup->isVisible());
    QCOMPARE(completer->completionCount(), 3);
    popup->hide();

    field->setText(Loopback);
    QTest::keyClick(field, Qt::Key_Down);
    QTRY_VERIFY(popup->isVisible());
    QCOMPARE(completer->completionCount(), 3);
    popup->hide();

    field->clear();
    QTest::keyClicks(field, QStringLiteral("0.0."));
    QTRY_VERIFY(popup->isVisible());
    QCOMPARE(completer->completionCount(), 2);

    popup->setCurrentIndex(completer->completionModel()->index(1, 0));
    QTest::keyClick(popup, Qt::Key_Delete);
    QCOMPARE(completer->completionCount(), 1);
    QVERIFY(popup->isVisible());
    QCOMPARE(popup->currentIndex().data().toString(), kvrA);
    QCOMPARE(offeredAddresses(*window), (QStringList{kvrA, lab}));

    field->setText(Loopback);
    window.reset();
    QCOMPARE(savedRecentAddresses(), (QStringList{kvrA, lab}));
}

void TestMainWindowSettings::autoReconnectSetting_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("on");

    QTest::newRow("an older file without the key") << QByteArray() << false;
    QTest::newRow("on") << QByteArray("autoReconnect=true") << true;
    QTest::newRow("off") << QByteArray("autoReconnect=false") << false;
    QTest::newRow("neither") << QByteArray("autoReconnect=sometimes") << false;
}

// Loaded at start-up, saved at exit as the user left it.
void TestMainWindowSettings::autoReconnectSetting()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, on);
    writeRawSettings(line);

    auto window = std::make_unique<MainWindow>();
    QAction *autoReconnect = window->findChild<QAction *>(QStringLiteral("act_autoReconnect"));
    QCOMPARE(autoReconnect->isChecked(), on);
    window.reset();
    // Off, the default, leaves no key.
    QCOMPARE(QSettings(settingsFilePath(), QSettings::IniFormat).value(KeyAutoReconnect).toString(),
             on ? QStringLiteral("true") : QString());

    window = std::make_unique<MainWindow>();
    window->findChild<QAction *>(QStringLiteral("act_autoReconnect"))->trigger();
    window.reset();
    QCOMPARE(QSettings(settingsFilePath(), QSettings::IniFormat).value(KeyAutoReconnect).toBool(),
             !on);
}

void TestMainWindowSettings::settingsDialog_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("appearance");
    QTest::addColumn<int>("pace"); // paced, full, a cap of 20 MB/s
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("existing");    // overwrite, keep both, skip identical
    QTest::addColumn<QByteArray>("keys"); // after the dialog closed, before the exit

    QTest::newRow("OK: each through the form, kept at once")
        << true << QStringLiteral("en") << QStringLiteral("dark") << 2 << 500 << 1
        << QByteArray("appearance=dark\nexistingFiles=keep-both\nfileGap=500\nlanguage=en\n"
                      "sendPace=20");
    QTest::newRow("OK at full pace")
        << true << QStringLiteral("zh_CN") << QStringLiteral("light") << 1 << 0 << 2
        << QByteArray("existingFiles=skip-identical\nsendPace=full");
    QTest::newRow("OK at the defaults: no key")
        << true << QStringLiteral("zh_CN") << QStringLiteral("light") << 0 << 0 << 0
        << QByteArray();
    QTest::newRow("Cancel: nothing changes")
        << false << QStringLiteral("en") << QStringLiteral("dark") << 2 << 500 << 1 << QByteArray();
}

// The dialog's folder and buffer size go through the form's fields, so the
// session follows them as it follows the fields.
void TestMainWindowSettings::settingsDialog()
{
    QFETCH(bool, accepted);
    QFETCH(QString, language);
    QFETCH(QString, appearance);
    QFETCH(int, pace);
    QFETCH(int, gapMs);
    QFETCH(int, existing);
    QFETCH(QByteArray, keys);
    writeRawSettings(QByteArray());
    const QString folder = appDir() + QStringLiteral("/chosen");
    MainWindow window;
    QTimer::singleShot(0, &window, [&] {
        auto *dialog = window.findChild<SettingsDialog *>();
        QVERIFY(dialog && dialog->isModal());
        dialog->findChild<QLineEdit *>(QStringLiteral("receiveFolderEdit"))->setText(folder);
        dialog->findChild<QSpinBox *>(QStringLiteral("bufferSizeSpinBox"))->setValue(4096);
        for (const auto &[name, word] : {std::pair("languageComboBox", language),
                                         std::pair("appearanceComboBox", appearance)}) {
            auto *box = dialog->findChild<QComboBox *>(QLatin1String(name));
            box->setCurrentIndex(box->findData(word));
        }
        dialog->findChild<QComboBox *>(QStringLiteral("sendPaceComboBox"))->setCurrentIndex(pace);
        dialog->findChild<QDoubleSpinBox *>(QStringLiteral("sendCapSpinBox"))->setValue(20);
        dialog->findChild<QSpinBox *>(QStringLiteral("fileGapSpinBox"))->setValue(gapMs);
        dialog->findChild<QComboBox *>(QStringLiteral("existingFilesComboBox"))
            ->setCurrentIndex(existing);
        accepted ? dialog->accept() : dialog->reject();
    });
    window.findChild<QAction *>(QStringLiteral("act_settings"))->trigger();

    const auto *spinBox = window.findChild<QSpinBox *>(QStringLiteral("spinBox_bufferSize"));
    QCOMPARE(lineEdit(window, "dirShowLineEdit")->text() == folder, accepted);
    QCOMPARE(window.session()->receiveFolder() == folder, accepted);
    QCOMPARE(spinBox->value(), accepted ? 4096 : 12000);
    QCOMPARE(window.appearance()->dark(), accepted && appearance == QLatin1String("dark"));
    QSettings stored(settingsFilePath(), QSettings::IniFormat);
    QStringList lines;
    for (const char *key : {"appearance", "existingFiles", "fileGap", "language", "sendPace"}) {
        if (stored.contains(QLatin1String(key)))
            lines << QLatin1String(key) + QLatin1Char('=') +
                         stored.value(QLatin1String(key)).toString();
    }
    QCOMPARE(lines.join(QLatin1Char('\n')).toUtf8(), keys);
    window.appearance()->apply(Appearance::Look::Light);
}

QTEST_MAIN(TestMainWindowSettings)
#include "tst_mainwindowsettings.moc"
