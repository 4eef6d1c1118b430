#pragma once

#include <QString>
#include <QStringList>

// The controllers that connections were made to, most recent first: each
// once (host names compare without regard to case), at most MaxCount. A
// list read from settings.ini comes in cleaned, however it was edited.
class RecentAddresses
{
public:
    static constexpr int MaxCount = 10;

    RecentAddresses() = default;
    explicit RecentAddresses(const QStringList &stored);

    // Puts the address at the top, pushing the oldest out past MaxCount.
    void remember(const QString &address);
    void forget(const QString &address);
    const QStringList &list() const { return m_list; }

private:
    QStringList m_list;
};
