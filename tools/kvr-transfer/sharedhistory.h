#pragma once

#include "history/transferhistory.h"

#include <mutex>

// One history for the connections of a run, each in its own thread: the
// lines go in one at a time, and the pending file and the roll-over keep
// one writer in this process, which their lock file alone does not (it
// knows processes, not threads). A standard mutex, which the thread
// sanitizer sees, unlike one inside Qt's own library.
class SharedHistory
{
public:
    explicit SharedHistory(const QString &filePath) : m_history(filePath) {}

    QString filePath() const { return m_history.filePath(); }
    QString append(const TransferRecord &record)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_history.append(record);
    }

private:
    std::mutex m_mutex;
    TransferHistory m_history;
};
