#include "history/historyreader.h"

#include "history/historyformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

struct Reading
{
    qint64 beforeMs = -1; // entries from then on are left out
    QHash<QByteArray, QString> shared;
    HistoryReader::Result result;
};

bool isBlank(const HistoryFormat::Fields &fields)
{
    return fields.size() == 1 && fields.front().isEmpty();
}

void take(Reading &reading, const HistoryFormat::Fields &fields, bool wellFormed)
{
    if (wellFormed && (isBlank(fields) || HistoryFormat::isHeader(fields)))
        return;
    std::optional<HistoryEntry> entry =
        wellFormed ? HistoryFormat::entryOf(fields, reading.shared) : std::nullopt;
    if (!entry)
        ++reading.result.skipped;
    else if (reading.beforeMs < 0 || entry->time.toMSecsSinceEpoch() < reading.beforeMs)
        reading.result.entries.push_back(std::move(*entry));
}

// Its lines come after those read so far, newest first.
void readFile(Reading &reading, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists() && reading.result.error.isEmpty())
            reading.result.error =
                QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return;
    }
    const QByteArray text = file.readAll();
    file.close();
    std::vector<HistoryEntry> &entries = reading.result.entries;
    const size_t first = entries.size();
    // A line at most for each line end: a long history grows no spare room.
    entries.reserve(first + size_t(text.count('\n')) + 1);
    HistoryFormat::Records records(text);
    HistoryFormat::Fields fields;
    bool wellFormed = false;
    while (records.next(fields, wellFormed))
        take(reading, fields, wellFormed);
    std::reverse(entries.begin() + qsizetype(first), entries.end());
}

} // namespace

// history.pending.csv holds lines that could not go into history.csv yet,
// so they are its newest; history.1.csv the oldest. A line moved or rolled
// over between two files' reads is read twice rather than not at all.
HistoryReader::Result HistoryReader::read(const QString &historyPath, const QDateTime &before)
{
    Reading reading;
    if (before.isValid())
        reading.beforeMs = before.toMSecsSinceEpoch() / 1000 * 1000;
    const QDir folder = QFileInfo(historyPath).dir();
    readFile(reading, folder.filePath(QLatin1String(TransferHistory::PendingFileName)));
    readFile(reading, historyPath);
    readFile(reading, folder.filePath(QLatin1String(TransferHistory::OldFileName)));
    return std::move(reading.result);
}
