#pragma once

#include <QList>
#include <QString>

#include <functional>

// Lets at most one notice a few seconds reach the desktop: a controller that
// sends header after refused header must not flood it. What comes in between
// is held and summed up by kind ("接收失败: 12 个文件") in the next notice.
// No timer: the caller asks again once msUntilDue() has passed.
class NoticeThrottle
{
public:
    static constexpr qint64 IntervalMs = 5000;

    // what: "接收失败"; about one file by its name, or about files of a run.
    struct Notice
    {
        QString what;
        QString name;
        int files = 1;
    };

    // Milliseconds on a steady clock; the time seam for tests.
    using Clock = std::function<qint64()>;
    explicit NoticeThrottle(Clock clock = steadyMs);
    static qint64 steadyMs();

    // The text to show now, or an empty one while the notice is held.
    QString post(const Notice &notice);
    // What is held, in one text, once its time has come; else empty.
    QString takeDue();
    // Until takeDue() gives a text; -1 while nothing is held.
    qint64 msUntilDue() const;

private:
    struct Held
    {
        Notice first;
        int notices = 0;
        int files = 0;
    };

    static QString textOf(const Notice &notice);

    Clock m_clock;
    QList<Held> m_held; // one per kind, in order of arrival
    qint64 m_shownAt = -1;
};
