#include "settings/recentaddresses.h"

#include <algorithm>

RecentAddresses::RecentAddresses(const QStringList &stored)
{
    for (const QString &entry : stored) {
        const QString address = entry.trimmed();
        if (!address.isEmpty() && !m_list.contains(address, Qt::CaseInsensitive))
            m_list.append(address);
        if (m_list.size() == MaxCount)
            break;
    }
}

void RecentAddresses::remember(const QString &typed)
{
    const QString address = typed.trimmed();
    if (address.isEmpty())
        return;
    forget(address);
    m_list.prepend(address);
    if (m_list.size() > MaxCount)
        m_list.removeLast();
}

void RecentAddresses::forget(const QString &address)
{
    const auto same = [&](const QString &known) {
        return known.compare(address.trimmed(), Qt::CaseInsensitive) == 0;
    };
    m_list.erase(std::remove_if(m_list.begin(), m_list.end(), same), m_list.end());
}
