#pragma once

#include "client/noticethrottle.h"

#include <QObject>

#include <memory>

class Desktop;
class QWidget;

// Tells a user who is in another window that a transfer ended, at most one
// notice every few seconds (NoticeThrottle), and nothing once they are back.
class AwayNotices : public QObject
{
    Q_OBJECT

public:
    explicit AwayNotices(QWidget *window);
    ~AwayNotices() override;

    void post(const NoticeThrottle::Notice &notice);
    // In place of the system's notifications and file manager.
    void setDesktop(std::unique_ptr<Desktop> desktop);
    Desktop &desktop() const { return *m_desktop; }

private:
    void show(const QString &text);

    QWidget *m_window;
    std::unique_ptr<Desktop> m_desktop;
    NoticeThrottle m_throttle;
    bool m_due = false; // a timer will show what is held
};
