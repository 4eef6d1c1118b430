// The window in each language and look: every text it shows as written at
// the default settings and in English, the dark palette's contrast, and
// what a screen reader and a keyboard find.
#include "windowtest.h"

#include "app/appearance.h"
#include "app/settingsdialog.h"
#include "app/transferlistwindow.h"
#include "chinesetext.h"
#include "kvrversion.h"
#include "settings/language.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QtTest>

#include <cmath>

namespace {

QString accessibleName(QWidget *widget)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

// The widgets whose texts change as the window runs (the state, the log,
// the addresses and folders it was given) are left to the English check.
bool showsRunningText(const QWidget *widget)
{
    static const QStringList names = {QStringLiteral("clientStateLabel"),
                                      QStringLiteral("clientMsgLabel"),
                                      QStringLiteral("serverStateLabel"),
                                      QStringLiteral("serverMsgLabel"),
                                      QStringLiteral("textEdit"),
                                      QStringLiteral("localIpComBox"),
                                      QStringLiteral("serverAddressLineEdit"),
                                      QStringLiteral("dirShowLineEdit"),
                                      QStringLiteral("receiveFolderEdit"),
                                      QStringLiteral("qt_spinbox_lineedit")};
    return names.contains(widget->objectName());
}

void addActionTexts(const QList<QAction *> &actions, QStringList *texts)
{
    for (const QAction *action : actions)
        *texts << action->text() << action->toolTip();
}

void addWidgetTexts(QWidget *widget, QStringList *texts)
{
    if (widget->isWindow())
        *texts << widget->windowTitle();
    *texts << widget->toolTip() << widget->accessibleName();
    addActionTexts(widget->actions(), texts);
    if (const auto *label = qobject_cast<QLabel *>(widget))
        *texts << label->text();
    if (const auto *button = qobject_cast<QAbstractButton *>(widget))
        *texts << button->text();
    if (const auto *bar = qobject_cast<QProgressBar *>(widget))
        *texts << bar->format();
    if (const auto *tabs = qobject_cast<QTabWidget *>(widget)) {
        for (int i = 0; i < tabs->count(); ++i)
            *texts << tabs->tabText(i);
    }
    if (const auto *box = qobject_cast<QComboBox *>(widget)) {
        for (int i = 0; i < box->count(); ++i)
            *texts << box->itemText(i);
    }
    if (const auto *view = qobject_cast<QTreeView *>(widget); view && view->model()) {
        for (int i = 0; i < view->model()->columnCount(); ++i)
            *texts << view->model()->headerData(i, Qt::Horizontal).toString();
    }
}

// Every text of these windows and their children, once each, sorted.
QStringList textsOf(const QList<QWidget *> &windows, bool withRunningTexts)
{
    QStringList texts;
    for (QWidget *window : windows) {
        QList<QWidget *> widgets = window->findChildren<QWidget *>();
        widgets.prepend(window);
        for (QWidget *widget : qAsConst(widgets)) {
            if (withRunningTexts || !showsRunningText(widget))
                addWidgetTexts(widget, &texts);
            texts << widget->accessibleName();
            if (const auto *bar = qobject_cast<QToolBar *>(widget))
                texts << bar->windowTitle();
        }
    }
    if (withRunningTexts)
        texts << WindowTest::logText(*qobject_cast<MainWindow *>(windows.first()));
    texts.removeAll(QString());
    texts.removeDuplicates();
    texts.sort();
    return texts;
}

// The texts at the default settings: those the window always showed, and
// the new ones of its settings.
QStringList textsAsWritten()
{
    // The title with the version, as the window shows it.
    QStringList texts{QString::fromUtf8("KVR文件网络传输助手") +
                      QStringLiteral("(" KVR_VERSION ")")};
    for (const char *text :
         {"客户端:", "测试连接", "文件传输", "停止传输", "清理信息", "接收目录",
          "缓冲区:", "请输入KVR控制器IP:", "本地IP:", "toolBar", "建立连接", "断开连接", "自动重连",
          "传输列表", "设置", "发送:%p%", "接收:%p%", "日志", "缓冲区大小", "KVR控制器IP", "本地IP",
          "客户端", "队列", "失败", "完成", "重试", "全部重试", "打开所在文件夹", "复制",
          "复制 MD5", "移除", "清空已完成", "时间", "方向", "控制器", "文件", "大小", "耗时",
          "速率", "MD5", "结果", "重试 (Ctrl+R)", "全部重试 (Ctrl+Shift+R)",
          "打开所在文件夹 (Ctrl+Return)", "复制 (Ctrl+C)", "复制 MD5 (Ctrl+Shift+C)", "移除 (Del)",
          "清空已完成 (Ctrl+Shift+Del)",
          // The toolkit's own, for its tabs' buttons.
          "Scroll Left", "Scroll Right"})
        texts << QString::fromUtf8(text);
    return texts;
}

double luminance(const QColor &colour)
{
    const auto channel = [](double value) {
        return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
           0.0722 * channel(colour.blueF());
}

// As WCAG measures it: 1 to 21.
double contrast(const QColor &a, const QColor &b)
{
    const double lighter = qMax(luminance(a), luminance(b));
    const double darker = qMin(luminance(a), luminance(b));
    return (lighter + 0.05) / (darker + 0.05);
}

} // namespace

class tst_WindowLooks : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void texts_data();
    void texts();
    void darkPalette_data();
    void darkPalette();
    void looks_data();
    void looks();
    void keyboard();

private:
    std::unique_ptr<MainWindow> makeWindow();
};

void tst_WindowLooks::init()
{
    WindowTest::writeSettings({{QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")}});
}

void tst_WindowLooks::cleanup()
{
    Language::install(QLatin1String(Language::Chinese));
}

// Refused at once in the test's own network: the state and the log settle.
std::unique_ptr<MainWindow> tst_WindowLooks::makeWindow()
{
    auto window = std::make_unique<MainWindow>();
    const QAction *connect = window->findChild<QAction *>(QStringLiteral("act_connect"));
    if (!QTest::qWaitFor([&] { return connect->isEnabled(); }))
        return nullptr;
    return window;
}

void tst_WindowLooks::texts_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("as written") << QString::fromLatin1(Language::Chinese);
    QTest::newRow("English") << QString::fromLatin1(Language::English);
}

void tst_WindowLooks::texts()
{
    QFETCH(QString, language);
    QVERIFY(Language::install(language));
    const std::unique_ptr<MainWindow> window = makeWindow();
    QVERIFY(window);
    auto *list = window->findChild<TransferListWindow *>();
    QVERIFY(list);
    SettingsDialog dialog({QStringLiteral("/in"),
                           12000,
                           language,
                           QStringLiteral("light"),
                           {},
                           0,
                           ExistingFiles::Overwrite},
                          language);
    const QList<QWidget *> windows{window.get(), list, &dialog};

    if (language == QLatin1String(Language::Chinese)) {
        QStringList expected = textsAsWritten();
        for (const char *text : {"设置",       "接收目录:", "选择...", "选择接收目录",
                                 "语言:",      "中文",      "English", "语言在程序重新启动后生效",
                                 "外观:",      "浅色",      "深色",    "跟随系统",
                                 "发送速度:",  "按节奏",    "全速",    "限速",
                                 "文件间隔:",  "同名文件:", "覆盖",    "保留两者",
                                 "相同则跳过", "确定",      "取消"})
            expected << QString::fromUtf8(text);
        expected.removeDuplicates();
        expected.sort();
        QCOMPARE(textsOf(windows, false), expected);
    } else {
        for (const QString &text : textsOf(windows, true))
            QVERIFY2(!holdsChinese(text), qUtf8Printable(text));
    }
}

void tst_WindowLooks::darkPalette_data()
{
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("text");
    QTest::addColumn<int>("background");

    const std::pair<const char *, QPalette::ColorGroup> groups[] = {
        {"active", QPalette::Active},
        {"inactive", QPalette::Inactive},
        {"disabled", QPalette::Disabled}};
    const std::tuple<const char *, QPalette::ColorRole, QPalette::ColorRole> pairs[] = {
        {"window text", QPalette::WindowText, QPalette::Window},
        {"text", QPalette::Text, QPalette::Base},
        {"text on alternate rows", QPalette::Text, QPalette::AlternateBase},
        {"placeholder", QPalette::PlaceholderText, QPalette::Base},
        {"button text", QPalette::ButtonText, QPalette::Button},
        {"bright text", QPalette::BrightText, QPalette::Window},
        {"tool tip", QPalette::ToolTipText, QPalette::ToolTipBase},
        {"selection", QPalette::HighlightedText, QPalette::Highlight},
        {"link", QPalette::Link, QPalette::Base},
        {"visited link", QPalette::LinkVisited, QPalette::Base}};
    for (const auto &group : groups) {
        for (const auto &pair : pairs) {
            QTest::addRow("%s, %s", group.first, std::get<0>(pair))
                << int(group.second) << int(std::get<1>(pair)) << int(std::get<2>(pair));
        }
    }
}

void tst_WindowLooks::darkPalette()
{
    QFETCH(int, group);
    QFETCH(int, text);
    QFETCH(int, background);
    const QPalette palette = Appearance::darkPalette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        if (role != QPalette::NoRole)
            QVERIFY2(palette.isBrushSet(QPalette::ColorGroup(group), QPalette::ColorRole(role)),
                     qPrintable(QString::number(role)));
    }
    const auto colour = [&](int role) {
        return palette.color(QPalette::ColorGroup(group), QPalette::ColorRole(role));
    };
    QVERIFY2(contrast(colour(text), colour(background)) >= 4.5,
             qPrintable(QString::number(contrast(colour(text), colour(background)))));
}

void tst_WindowLooks::looks_data()
{
    QTest::addColumn<QString>("look");
    QTest::addColumn<bool>("dark");
    QTest::newRow("light, as it always was") << QStringLiteral("light") << false;
    QTest::newRow("dark") << QStringLiteral("dark") << true;
    // No desktop portal answers in the test's own network: light.
    QTest::newRow("the system's") << QStringLiteral("system") << false;
    QTest::newRow("a look it does not know") << QStringLiteral("blue") << false;
}

// The look from settings.ini; the state label keeps its colours, readable
// in every look; light again brings back the look the program started with.
void tst_WindowLooks::looks()
{
    QFETCH(QString, look);
    QFETCH(bool, dark);
    const QString styleBefore = QApplication::style()->objectName();
    const QPalette paletteBefore = QApplication::palette();
    WindowTest::writeSettings({{QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1")},
                               {QStringLiteral("appearance"), look}});
    {
        const std::unique_ptr<MainWindow> window = makeWindow();
        QVERIFY(window);
        QCOMPARE(window->appearance()->dark(), dark);
        QCOMPARE(QApplication::palette() == Appearance::darkPalette(), dark);
        const QLabel *state = window->findChild<QLabel *>(QStringLiteral("clientStateLabel"));
        QCOMPARE(state->palette().color(QPalette::Window), QColor(Qt::red));
        QVERIFY(contrast(state->palette().color(QPalette::WindowText),
                         state->palette().color(QPalette::Window)) >= 4.5);
        window->appearance()->apply(Appearance::Look::Light);
    }
    QCOMPARE(QApplication::style()->objectName(), styleBefore);
    QVERIFY(QApplication::palette() == paletteBefore);
}

// The form in the order it reads, and Ctrl+O as "文件传输".
void tst_WindowLooks::keyboard()
{
    const std::unique_ptr<MainWindow> window = makeWindow();
    QVERIFY(window);
    QWidget *widget = window->findChild<QWidget *>(QStringLiteral("serverAddressLineEdit"));
    QStringList order;
    for (int i = 0; i < 6; ++i, widget = widget->nextInFocusChain()) {
        while (!(widget->focusPolicy() & Qt::TabFocus))
            widget = widget->nextInFocusChain();
        order << widget->objectName();
        QVERIFY2(!accessibleName(widget).isEmpty(), qPrintable(widget->objectName()));
    }
    QCOMPARE(order,
             QStringList({QStringLiteral("serverAddressLineEdit"), QStringLiteral("textEdit"),
                          QStringLiteral("testBtn"), QStringLiteral("fileTransmitBtn"),
                          QStringLiteral("stopSendBtn"), QStringLiteral("clearTextBtn")}));
    for (const char *name :
         {"dirShowLineEdit", "spinBox_bufferSize", "queueView", "failedView", "doneView"})
        QVERIFY2(!accessibleName(window->findChild<QWidget *>(QLatin1String(name))).isEmpty(),
                 name);
    SettingsDialog dialog({QStringLiteral("/in"),
                           12000,
                           QStringLiteral("zh_CN"),
                           QStringLiteral("light"),
                           {},
                           0,
                           ExistingFiles::Overwrite},
                          QStringLiteral("zh_CN"));
    for (QWidget *field : dialog.findChildren<QWidget *>()) {
        if ((field->focusPolicy() & Qt::TabFocus) &&
            !field->objectName().startsWith(QLatin1String("qt_")))
            QVERIFY2(!accessibleName(field).isEmpty(), qPrintable(field->objectName()));
    }

    window->show();
    QApplication::setActiveWindow(window.get());
    if (!QTest::qWaitForWindowActive(window.get()))
        QSKIP("no window becomes active here, and only an active window takes shortcuts");
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    QTRY_VERIFY(WindowTest::logText(*window).contains(WindowTest::utf8("未建立连接，传送失败!")));
}

QTEST_MAIN(tst_WindowLooks)
#include "tst_windowlooks.moc"
