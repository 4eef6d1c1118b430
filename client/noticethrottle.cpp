#include "client/noticethrottle.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <utility>

NoticeThrottle::NoticeThrottle(Clock clock) : m_clock(std::move(clock)) {}

qint64 NoticeThrottle::steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

QString NoticeThrottle::post(const Notice &notice)
{
    auto held = std::find_if(m_held.begin(), m_held.end(),
                             [&](const Held &h) { return h.first.what == notice.what; });
    if (held == m_held.end())
        held = m_held.insert(m_held.end(), Held{notice, 0, 0});
    ++held->notices;
    held->files += notice.files;
    return takeDue();
}

QString NoticeThrottle::takeDue()
{
    if (msUntilDue() != 0)
        return QString();
    QStringList texts;
    for (const Held &held : qAsConst(m_held))
        texts << (held.notices == 1 ? textOf(held.first)
                                    : textOf({held.first.what, QString(), held.files}));
    m_held.clear();
    m_shownAt = m_clock();
    return texts.join(QLatin1Char('\n'));
}

qint64 NoticeThrottle::msUntilDue() const
{
    if (m_held.isEmpty())
        return -1;
    if (m_shownAt < 0)
        return 0;
    return qMax<qint64>(0, m_shownAt + IntervalMs - m_clock());
}

QString NoticeThrottle::textOf(const Notice &notice)
{
    if (notice.files == 1)
        return notice.what + QStringLiteral(": ") + notice.name;
    return notice.what +
           QCoreApplication::translate("NoticeThrottle", ": %1 个文件").arg(notice.files);
}
