#include "app/awaynotices.h"

#include "app/desktop.h"

#include <QTimer>
#include <QWidget>

#include <utility>

AwayNotices::AwayNotices(QWidget *window)
    : m_window(window), m_desktop(std::make_unique<SystemDesktop>(window))
{}

AwayNotices::~AwayNotices() = default;

void AwayNotices::setDesktop(std::unique_ptr<Desktop> desktop)
{
    m_desktop = std::move(desktop);
}

void AwayNotices::post(const NoticeThrottle::Notice &notice)
{
    if (!m_window->isActiveWindow())
        show(m_throttle.post(notice));
}

// What the throttle held is shown once it is due, unless the user is back.
void AwayNotices::show(const QString &text)
{
    if (!text.isEmpty() && !m_window->isActiveWindow())
        m_desktop->notify(text);
    const qint64 wait = m_throttle.msUntilDue();
    if (wait < 0 || std::exchange(m_due, true))
        return;
    QTimer::singleShot(int(wait), this, [this] {
        m_due = false;
        show(m_throttle.takeDue());
    });
}
