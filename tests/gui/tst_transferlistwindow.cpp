// The transfer list's window: how it opens and where the keyboard goes,
// what its keys do to the clipboard, the desktop and the list, that
// history.csv never changes by it, a failed send sent again through the
// controller stand-in, and its place and columns in settings.ini. Its rows
// come from the session as they would from transfers; the model's texts
// are tst_transferlist's.

#include "client/transferlistmodel.h"
#include "standinprocess.h"
#include "testfiles.h"
#include "windowtest.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QClipboard>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace TestFiles;
using namespace WindowTest;
using Tab = TransferListModel::Tab;

namespace {

constexpr int WaitMs = 10000;
const char *const ViewNames[] = {"queueView", "failedView", "doneView"};

// A send that ended in this run, of a file in folder.
TransferRecord sent(const QString &folder, const char *name, const char *outcome = "done")
{
    TransferRecord record;
    record.direction = TransferRecord::Direction::Send;
    record.host = QStringLiteral("127.0.0.1");
    record.port = 8080;
    record.fileName = QLatin1String(name);
    record.path = folder + QLatin1Char('/') + record.fileName;
    record.bytes = 3;
    record.md5Hex = md5Hex(record.fileName.toUtf8());
    record.outcome = QLatin1String(outcome);
    record.ms = 1500;
    record.endTime = QDateTime::currentDateTime();
    return record;
}

} // namespace

class tst_TransferListWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void opens_data();
    void opens();
    void tabs_data();
    void tabs();
    void copies_data();
    void copies();
    void removesFromTheListOnly_data();
    void removesFromTheListOnly();
    void enter_data();
    void enter();
    void retriesThroughTheStandIn();
    void keepsPlaceAndColumns_data();
    void keepsPlaceAndColumns();

private:
    bool openWindow();
    QWidget *openList();
    bool waitActive() const;
    QWidget *list() const
    {
        return m_window->findChild<QWidget *>(QStringLiteral("transferListWindow"));
    }
    QTreeView *view(Tab tab) const
    {
        return list()->findChild<QTreeView *>(QLatin1String(ViewNames[int(tab)]));
    }
    QTabWidget *tabWidget() const { return list()->findChild<QTabWidget *>(); }
    TransferListModel *model() const { return m_window->session()->transferList(); }
    // The file names of a tab's rows, top first.
    QStringList names(Tab tab) const;
    void selectRows(Tab tab, const QStringList &names);
    void trigger(const char *action);

    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<MainWindow> m_window;
};

// The list's keys are shortcuts, which only an active window takes; under
// Wine no window is ever made active, so there is nothing to press them in.
void tst_TransferListWindow::initTestCase()
{
#ifdef Q_OS_WIN
    QWidget probe;
    probe.show();
    probe.activateWindow();
    if (!QTest::qWaitForWindowActive(&probe))
        QSKIP("No window becomes active here (Wine): the keys need an active window");
#endif
}

void tst_TransferListWindow::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    removeHistory();
    QGuiApplication::clipboard()->clear();
}

void tst_TransferListWindow::cleanup()
{
    m_window.reset();
    removeSettings();
    removeHistory();
}

// Shown and in front, as a user's window is, so that its keys reach it.
bool tst_TransferListWindow::openWindow()
{
    if (!QFileInfo::exists(settingsFilePath()))
        writeClientSettings(m_work->path());
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    m_window->activateWindow();
    return QTest::qWaitForWindowActive(m_window.get());
}

QWidget *tst_TransferListWindow::openList()
{
    QTest::keyClick(m_window.get(), Qt::Key_J, Qt::ControlModifier);
    return waitActive() ? list() : nullptr;
}

// A window shown over its own counts as active at once; the keys go to it
// once the toolkit has made it the active one.
bool tst_TransferListWindow::waitActive() const
{
    return list() && QTest::qWaitFor([this] { return QApplication::activeWindow() == list(); });
}

QStringList tst_TransferListWindow::names(Tab tab) const
{
    const QAbstractItemModel *rows = model()->tab(tab);
    QStringList shown;
    for (int row = 0; row < rows->rowCount(); ++row)
        shown << rows->index(row, TransferListModel::File).data().toString();
    return shown;
}

void tst_TransferListWindow::selectRows(Tab tab, const QStringList &picked)
{
    tabWidget()->setCurrentIndex(int(tab));
    QTreeView *rows = view(tab);
    rows->clearSelection();
    const QStringList shown = names(tab);
    for (const QString &name : picked) {
        const QModelIndex index = rows->model()->index(int(shown.indexOf(name)), 0);
        rows->selectionModel()->setCurrentIndex(index, QItemSelectionModel::Select |
                                                           QItemSelectionModel::Rows);
    }
}

// By its key, as a user at the keyboard would.
void tst_TransferListWindow::trigger(const char *name)
{
    const auto *action = list()->findChild<QAction *>(QLatin1String(name));
    QVERIFY2(action && action->isEnabled(), name);
    QTest::keySequence(list()->focusWidget(), action->shortcut());
}

void tst_TransferListWindow::opens_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Ctrl+J") << QStringLiteral("key");
    QTest::newRow("the toolbar") << QStringLiteral("toolbar");
    QTest::newRow("the log's menu") << QStringLiteral("menu");
}

void tst_TransferListWindow::opens()
{
    QFETCH(QString, how);
    QVERIFY(openWindow());
    QVERIFY(list()->isHidden());

    if (how == QLatin1String("key")) {
        QTest::keyClick(m_window.get(), Qt::Key_J, Qt::ControlModifier);
    } else if (how == QLatin1String("toolbar")) {
        auto *action = m_window->findChild<QAction *>(QStringLiteral("act_transferList"));
        QTest::mouseClick(m_window->findChild<QToolBar *>()->widgetForAction(action),
                          Qt::LeftButton);
    } else {
        QMenu *menu = openLogMenu(*m_window);
        QVERIFY(menu);
        const QList<QAction *> entries = menu->actions();
        const auto entry = std::find_if(entries.cbegin(), entries.cend(), [](QAction *action) {
            return action->text() == utf8("传输列表");
        });
        QVERIFY(entry != entries.cend());
        (*entry)->trigger();
        menu->close();
    }

    QVERIFY(waitActive());
    QCOMPARE(list()->windowTitle(), utf8("传输列表"));
    QVERIFY(list()->isWindow());
    QCOMPARE(list()->windowModality(), Qt::NonModal);
    QCOMPARE(QApplication::focusWidget(), view(Tab::Queue));
    // The main window goes on taking clicks beside it.
    QVERIFY(m_window->findChild<QPushButton *>(QStringLiteral("testBtn"))->isEnabled());
    QVERIFY(!QApplication::activeModalWidget());
}

void tst_TransferListWindow::tabs_data()
{
    QTest::addColumn<QList<int>>("keys"); // +1 Ctrl+Tab, -1 Ctrl+Shift+Tab, 0..2 a click
    QTest::addColumn<int>("shown");

    QTest::newRow("none") << QList<int>() << 0;
    QTest::newRow("Ctrl+Tab") << QList<int>{1} << 1;
    QTest::newRow("Ctrl+Tab round") << QList<int>{1, 1, 1} << 0;
    QTest::newRow("Ctrl+Shift+Tab from the first") << QList<int>{-1} << 2;
    QTest::newRow("a tab chosen") << QList<int>{2} << 2;
}

// The tabs' names, and the list of the tab shown has the keyboard.
void tst_TransferListWindow::tabs()
{
    QFETCH(QList<int>, keys);
    QFETCH(int, shown);
    QVERIFY(openWindow());
    QVERIFY(openList());
    QCOMPARE(tabWidget()->count(), 3);
    QCOMPARE(tabWidget()->tabText(0), utf8("队列"));
    QCOMPARE(tabWidget()->tabText(1), utf8("失败"));
    QCOMPARE(tabWidget()->tabText(2), utf8("完成"));

    for (const int key : keys) {
        if (key == 1)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
        else if (key == -1)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab,
                            Qt::ControlModifier | Qt::ShiftModifier);
        else
            tabWidget()->setCurrentIndex(key);
    }

    QCOMPARE(tabWidget()->currentIndex(), shown);
    QCOMPARE(QApplication::focusWidget(), view(Tab(shown)));
}

void tst_TransferListWindow::copies_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("picked"); // empty: Ctrl+A
    QTest::addColumn<QStringList>("lines");  // a file name, or a digest

    QTest::newRow("Ctrl+C, every row")
        << QStringLiteral("act_copy") << QStringList()
        << QStringList{QStringLiteral("b.bin"), QStringLiteral("a.bin")};
    QTest::newRow("Ctrl+C, one row")
        << QStringLiteral("act_copy") << QStringList{QStringLiteral("a.bin")}
        << QStringList{QStringLiteral("a.bin")};
    QTest::newRow("复制 MD5, one row")
        << QStringLiteral("act_copyMd5") << QStringList{QStringLiteral("a.bin")}
        << QStringList{QString::fromLatin1(md5Hex("a.bin"))};
}

// Rows as a spreadsheet pastes them: a header line, then a line a row.
void tst_TransferListWindow::copies()
{
    QFETCH(QString, action);
    QFETCH(QStringList, picked);
    QFETCH(QStringList, lines);
    QVERIFY(openWindow());
    model()->addRecord(sent(m_work->path(), "a.bin"));
    model()->addRecord(sent(m_work->path(), "b.bin"));
    QVERIFY(openList());
    selectRows(Tab::Done, picked);
    if (picked.isEmpty())
        QTest::keySequence(view(Tab::Done), QKeySequence::SelectAll);

    trigger(action.toLatin1().constData());

    const QString text = QGuiApplication::clipboard()->text();
    if (action == QLatin1String("act_copyMd5")) {
        QCOMPARE(text, lines.join(QLatin1Char('\n')));
        return;
    }
    QStringList rows = text.split(QLatin1Char('\n'));
    QCOMPARE(rows.takeLast(), QString());
    QCOMPARE(rows.takeFirst(), utf8("时间\t方向\t控制器\t文件\t大小\t耗时\t速率\tMD5\t结果"));
    QStringList files;
    for (const QString &row : rows) {
        const QStringList fields = row.split(QLatin1Char('\t'));
        QCOMPARE(fields.size(), int(TransferListModel::ColumnCount));
        QCOMPARE(fields.at(TransferListModel::Result), utf8("完成"));
        files << fields.at(TransferListModel::File);
    }
    QCOMPARE(files, lines);
}

void tst_TransferListWindow::removesFromTheListOnly_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("picked");
    QTest::addColumn<QStringList>("done"); // left in "完成"

    QTest::newRow("Delete, a row of the history")
        << QStringLiteral("act_remove") << QStringList{QStringLiteral("x.bin")}
        << QStringList{QStringLiteral("a.bin"), QStringLiteral("y.bin")};
    QTest::newRow("Delete, a row of this run and one of the history")
        << QStringLiteral("act_remove")
        << QStringList{QStringLiteral("a.bin"), QStringLiteral("y.bin")}
        << QStringList{QStringLiteral("x.bin")};
    QTest::newRow("清空已完成") << QStringLiteral("act_clearDone") << QStringList()
                                << QStringList();
}

void tst_TransferListWindow::removesFromTheListOnly()
{
    QFETCH(QString, action);
    QFETCH(QStringList, picked);
    QFETCH(QStringList, done);
    TransferHistory history(historyPath());
    for (const char *name : {"x.bin", "y.bin"}) {
        TransferRecord record = sent(m_work->path(), name);
        record.endTime = record.endTime.addDays(-1);
        QCOMPARE(history.append(record), QString());
    }
    const QByteArray before = readFile(historyPath());
    QVERIFY(openWindow());
    QTRY_COMPARE(model()->tab(Tab::Done)->rowCount(), 2);
    model()->addRecord(sent(m_work->path(), "a.bin"));
    QVERIFY(openList());
    selectRows(Tab::Done, picked);

    trigger(action.toLatin1().constData());

    QCOMPARE(names(Tab::Done), done);
    QCOMPARE(readFile(historyPath()), before);
}

void tst_TransferListWindow::enter_data()
{
    QTest::addColumn<QString>("row");    // "done", "done, history", "failed", "folder"
    QTest::addColumn<QString>("told");   // the message's details; empty: none
    QTest::addColumn<QString>("opened"); // "file", "folder" or nothing

    QTest::newRow("完成: the file")
        << QStringLiteral("done") << QString() << QStringLiteral("file");
    QTest::newRow("完成: the history keeps no place")
        << QStringLiteral("done, history") << utf8("传输记录未保存文件的位置") << QString();
    QTest::newRow("失败: the whole reason")
        << QStringLiteral("failed") << utf8("打开文件失败") << QString();
    QTest::newRow("Ctrl+Enter: its folder")
        << QStringLiteral("folder") << QString() << QStringLiteral("folder");
}

// Enter on a row, or Ctrl+Enter for the folder it lies in.
void tst_TransferListWindow::enter()
{
    QFETCH(QString, row);
    QFETCH(QString, told);
    QFETCH(QString, opened);
    QVERIFY(writeFile(m_work->filePath(QStringLiteral("a.bin")), "a.b"));
    QVERIFY(openWindow());
    const DesktopRecord &desktop = recordDesktop(*m_window);
    TransferRecord record =
        sent(m_work->path(), "a.bin", row == QLatin1String("failed") ? "open-failed" : "done");
    if (row == QLatin1String("done, history"))
        record.path.clear();
    model()->addRecord(record);
    QVERIFY(openList());
    const Tab tab = row == QLatin1String("failed") ? Tab::Failed : Tab::Done;
    selectRows(tab, {QStringLiteral("a.bin")});

    if (row == QLatin1String("folder"))
        trigger("act_openFolder");
    else
        QTest::keyClick(view(tab), Qt::Key_Return);

    const auto *message = list()->findChild<QMessageBox *>(QStringLiteral("transferListMessage"));
    QCOMPARE(message ? message->informativeText() : QString(), told);
    QList<QUrl> expected;
    if (!opened.isEmpty())
        expected << QUrl::fromLocalFile(opened == QLatin1String("file") ? record.path
                                                                        : m_work->path());
    QCOMPARE(desktop.opened, expected);
    QVERIFY(!QApplication::activeModalWidget());
}

// A send that failed as its file was not there yet, sent again with
// Ctrl+R once it is: through the stand-in, as a user would.
void tst_TransferListWindow::retriesThroughTheStandIn()
{
    StandInProcess standIn(WaitMs);
    const QString store = m_work->filePath(QStringLiteral("store"));
    QVERIFY2(standIn.startOnLoopback(store, {}, m_work->path()), qPrintable(standIn.seenOutput()));
    QVERIFY(openWindow());
    QVERIFY(!standIn.waitForLine(QStringLiteral("connected 127.0.0.1:")).isNull());
    QTRY_VERIFY_WITH_TIMEOUT(logText(*m_window).contains(connectedLine()), WaitMs);
    const QString late = m_work->filePath(QStringLiteral("late.bin"));
    QVERIFY(dropUrls(*m_window, {QUrl::fromLocalFile(late)}));
    QTRY_COMPARE_WITH_TIMEOUT(names(Tab::Failed), QStringList{QStringLiteral("late.bin")}, WaitMs);
    const QByteArray contents = randomBytes(50000, 9);
    QVERIFY(writeFile(late, contents));
    QVERIFY(openList());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    QTest::keySequence(view(Tab::Failed), QKeySequence::SelectAll);

    trigger("act_retry");

    QCOMPARE(standIn.waitForLine(QStringLiteral("file received: ")),
             QStringLiteral("file received: late.bin (50000 bytes) MD5 ok"));
    QCOMPARE(readFile(store + QStringLiteral("/late.bin")), contents);
    QTRY_COMPARE_WITH_TIMEOUT(names(Tab::Done), QStringList{QStringLiteral("late.bin")}, WaitMs);
    QCOMPARE(names(Tab::Failed), QStringList());
}

void tst_TransferListWindow::keepsPlaceAndColumns_data()
{
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("changed"); // moved, made larger and a column widened

    QTest::newRow("never opened") << false << false;
    QTest::newRow("opened, left as it was") << true << false;
    QTest::newRow("moved, smaller, a column wider") << true << true;
}

// settings.ini holds the window's keys once the user made it other than it
// came, and the next run opens it so.
void tst_TransferListWindow::keepsPlaceAndColumns()
{
    QFETCH(bool, opened);
    QFETCH(bool, changed);
    QVERIFY(openWindow());
    QRect placed;
    if (opened) {
        QVERIFY(openList());
        placed = list()->geometry();
    }
    if (changed) {
        list()->setGeometry(placed.adjusted(10, 20, -30, -10));
        view(Tab::Queue)->header()->resizeSection(TransferListModel::File, 333);
        placed = list()->geometry();
    }
    m_window.reset();

    QSettings settings(settingsFilePath(), QSettings::IniFormat);
    QCOMPARE(settings.contains(QStringLiteral("transferListGeometry")), changed);
    QCOMPARE(settings.contains(QStringLiteral("transferListColumns")), changed);
    if (!changed)
        return;
    QVERIFY(openWindow());
    QVERIFY(openList());
    QCOMPARE(list()->geometry(), placed);
    QCOMPARE(view(Tab::Done)->header()->sectionSize(TransferListModel::File), 333);
}

QTEST_MAIN(tst_TransferListWindow)
#include "tst_transferlistwindow.moc"
