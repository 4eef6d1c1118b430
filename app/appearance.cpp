#include "app/appearance.h"

#include "settings/settingsfile.h"

#include <QApplication>
#include <QEvent>
#include <QSettings>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

#include <iterator>

#if defined(Q_OS_WIN)
#include <QOperatingSystemVersion>

#include <dwmapi.h>
#include <windows.h>
#elif defined(KVR_HAVE_DBUS)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#endif

namespace {

#if defined(Q_OS_WIN)
// The attribute was 19 in the builds before Windows 10 20H1 (19041).
constexpr DWORD ImmersiveDarkMode = 20;
constexpr DWORD ImmersiveDarkModeBefore20H1 = 19;
constexpr int Build20H1 = 19041;
constexpr int FirstBuildWithDarkTitleBars = 17763; // 1809
#elif defined(KVR_HAVE_DBUS)
constexpr char Portal[] = "org.freedesktop.portal.Desktop";
constexpr char PortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char PortalSettings[] = "org.freedesktop.portal.Settings";
constexpr char AppearanceNamespace[] = "org.freedesktop.appearance";
constexpr char ColorScheme[] = "color-scheme";
constexpr uint PrefersDark = 1;
// A desktop without a portal must not hold up the start.
constexpr int PortalTimeoutMs = 500;
#endif

struct RoleColour
{
    QPalette::ColorRole role;
    QRgb active;
    QRgb disabled;
};

// Texts at 4.5:1 or more on the backgrounds they are drawn on, disabled
// ones too, so that a greyed button still reads.
const RoleColour DarkColours[] = {
    {QPalette::Window, 0x2d2d30, 0x2d2d30},
    {QPalette::WindowText, 0xf0f0f0, 0x9a9a9a},
    {QPalette::Base, 0x1e1e1e, 0x262628},
    {QPalette::AlternateBase, 0x29292c, 0x29292c},
    {QPalette::Text, 0xf0f0f0, 0x9a9a9a},
    {QPalette::PlaceholderText, 0xa8a8a8, 0x9a9a9a},
    {QPalette::Button, 0x3c3c40, 0x333336},
    {QPalette::ButtonText, 0xf0f0f0, 0x9f9f9f},
    {QPalette::BrightText, 0xff7b72, 0xff7b72},
    {QPalette::ToolTipBase, 0x3c3c40, 0x3c3c40},
    {QPalette::ToolTipText, 0xf0f0f0, 0xf0f0f0},
    {QPalette::Highlight, 0x1f5fa8, 0x3a3a3e},
    {QPalette::HighlightedText, 0xffffff, 0xb0b0b0},
    {QPalette::Link, 0x6cb4ff, 0x6cb4ff},
    {QPalette::LinkVisited, 0xc29bff, 0xc29bff},
    {QPalette::Light, 0x55555a, 0x55555a},
    {QPalette::Midlight, 0x46464b, 0x46464b},
    {QPalette::Mid, 0x2a2a2d, 0x2a2a2d},
    {QPalette::Dark, 0x1a1a1c, 0x1a1a1c},
    {QPalette::Shadow, 0x000000, 0x000000},
};

} // namespace

Appearance::Look Appearance::lookOf(const std::optional<QString> &word)
{
    for (int i = 0; word && i < int(std::size(SettingsFile::Appearances)); ++i) {
        if (*word == QLatin1String(SettingsFile::Appearances[i]))
            return Look(i);
    }
    return Look::Light;
}

QString Appearance::wordOf(Look look)
{
    return QLatin1String(SettingsFile::Appearances[int(look)]);
}

QPalette Appearance::darkPalette()
{
    QPalette palette;
    for (const RoleColour &colour : DarkColours) {
        palette.setColor(QPalette::Active, colour.role, QColor(colour.active));
        palette.setColor(QPalette::Inactive, colour.role, QColor(colour.active));
        palette.setColor(QPalette::Disabled, colour.role, QColor(colour.disabled));
    }
    return palette;
}

Appearance::Appearance(QObject *parent)
    : QObject(parent), m_lightStyle(QApplication::style()->objectName()),
      m_lightPalette(QApplication::palette())
{
    // Every role counts as set, so that light again replaces each of the
    // dark ones; left unset, a role such as Link kept its dark colour.
    m_lightPalette.resolve(~0U);
    qApp->installEventFilter(this);
    qApp->installNativeEventFilter(this);
#if defined(KVR_HAVE_DBUS)
    QDBusConnection::sessionBus().connect(
        QLatin1String(Portal), QLatin1String(PortalPath), QLatin1String(PortalSettings),
        QStringLiteral("SettingChanged"), this, SLOT(followSystem()));
#endif
}

Appearance::~Appearance()
{
    qApp->removeNativeEventFilter(this);
}

void Appearance::apply(Look look)
{
    m_look = look;
    show(look == Look::Dark || (look == Look::System && systemIsDark()));
}

void Appearance::followSystem()
{
    if (m_look == Look::System)
        apply(m_look);
}

// Light is the application's look as it started, untouched, so that the
// default stays exactly what it always was.
void Appearance::show(bool dark)
{
    dark = dark && !highContrast();
    if (dark == m_dark)
        return;
    m_dark = dark;
    if (dark) {
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setPalette(darkPalette());
    } else {
        QApplication::setStyle(QStyleFactory::create(m_lightStyle));
        QApplication::setPalette(m_lightPalette);
    }
    for (QWidget *window : QApplication::topLevelWidgets())
        setDarkTitleBar(window, dark);
}

bool Appearance::eventFilter(QObject *watched, QEvent *event)
{
    if (m_dark && (event->type() == QEvent::Show || event->type() == QEvent::WinIdChange) &&
        watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->isWindow())
            setDarkTitleBar(widget, true);
    }
    return QObject::eventFilter(watched, event);
}

bool Appearance::nativeEventFilter(const QByteArray &eventType, void *message, long *)
{
#if defined(Q_OS_WIN)
    // Windows names the part that changed; ImmersiveColorSet is the apps'
    // light or dark.
    const auto *msg = static_cast<const MSG *>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SETTINGCHANGE && msg->lParam &&
        QString::fromWCharArray(reinterpret_cast<const wchar_t *>(msg->lParam)) ==
            QLatin1String("ImmersiveColorSet"))
        followSystem();
#else
    Q_UNUSED(eventType)
    Q_UNUSED(message)
#endif
    return false;
}

bool Appearance::systemIsDark()
{
#if defined(Q_OS_WIN)
    const QSettings personalize(
        QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\"
                       "Personalize"),
        QSettings::NativeFormat);
    return personalize.value(QStringLiteral("AppsUseLightTheme"), 1).toInt() == 0;
#elif defined(KVR_HAVE_DBUS)
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage read =
        QDBusMessage::createMethodCall(QLatin1String(Portal), QLatin1String(PortalPath),
                                       QLatin1String(PortalSettings), QStringLiteral("Read"));
    read << QLatin1String(AppearanceNamespace) << QLatin1String(ColorScheme);
    const QDBusMessage reply = bus.call(read, QDBus::Block, PortalTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    // A variant in a variant, as the portal answers.
    QVariant value = reply.arguments().constFirst();
    while (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value.toUInt() == PrefersDark;
#else
    return false;
#endif
}

bool Appearance::highContrast()
{
#if defined(Q_OS_WIN)
    HIGHCONTRASTW contrast = {};
    contrast.cbSize = sizeof(contrast);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, contrast.cbSize, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
#else
    return false;
#endif
}

void Appearance::setDarkTitleBar(QWidget *window, bool dark)
{
#if defined(Q_OS_WIN)
    const int build = QOperatingSystemVersion::current().microVersion();
    if (!window->testAttribute(Qt::WA_WState_Created) || build < FirstBuildWithDarkTitleBars)
        return;
    const BOOL value = dark ? TRUE : FALSE;
    const DWORD attribute = build >= Build20H1 ? ImmersiveDarkMode : ImmersiveDarkModeBefore20H1;
    DwmSetWindowAttribute(reinterpret_cast<HWND>(window->winId()), attribute, &value,
                          sizeof(value));
#else
    Q_UNUSED(window)
    Q_UNUSED(dark)
#endif
}
