#include "app/desktop.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>

namespace {

constexpr int MessageMs = 10000;

} // namespace

Desktop::~Desktop() = default;

bool Desktop::showFile(const QString &path)
{
    return open(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

SystemDesktop::SystemDesktop(QWidget *window) : m_window(window)
{
    window->installEventFilter(this);
}

SystemDesktop::~SystemDesktop() = default;

void SystemDesktop::notify(const QString &text)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable() || !QSystemTrayIcon::supportsMessages()) {
        QApplication::alert(m_window);
        return;
    }
    if (!m_trayIcon) {
        m_trayIcon = new QSystemTrayIcon(m_window->windowIcon(), this);
        connect(m_trayIcon, &QSystemTrayIcon::activated, this, &SystemDesktop::showWindow);
        connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this, &SystemDesktop::showWindow);
    }
    m_trayIcon->setToolTip(m_window->windowTitle());
    m_trayIcon->show();
    m_trayIcon->showMessage(m_window->windowTitle(), text, QSystemTrayIcon::Information, MessageMs);
}

bool SystemDesktop::open(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

// Other file managers take no such request alike: they are shown the folder.
bool SystemDesktop::showFile(const QString &path)
{
#ifdef Q_OS_WIN
    if (QFileInfo(path).isFile())
        return QProcess::startDetached(
            QStringLiteral("explorer.exe"),
            {QStringLiteral("/select,"), QDir::toNativeSeparators(path)});
#endif
    return Desktop::showFile(path);
}

// The icon is there to call the user back; once back, it goes.
bool SystemDesktop::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::ActivationChange && m_trayIcon &&
        m_window->isActiveWindow())
        m_trayIcon->hide();
    return false;
}

void SystemDesktop::showWindow()
{
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
}
