#include "history/historyreader.h"

#include "history/historyformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

struct Reading
{
    qint64 beforeMs = -1; // records from then on are left out
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
    std::optional<TransferRecord> record =
        wellFormed ? HistoryFormat::recordOf(fields, reading.shared) : std::nullopt;
    if (!record)
        ++reading.result.skipped;
    else if (reading.beforeMs < 0 || record->endTime.toMSecsSinceEpoch() < reading.beforeMs)
        reading.result.records.push_back(std::move(*record));
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
    std::vector<TransferRecord> &records = reading.result.records;
    const size_t first = records.size();
    // A line at most for each line end: a long history grows no spare room.
    records.reserve(first + size_t(text.count('\n')) + 1);
    HistoryFormat::Records lines(text);
    HistoryFormat::Fields fields;
    bool wellFormed = false;
    while (lines.next(fields, wellFormed))
        take(reading, fields, wellFormed);
    std::reverse(records.begin() + qsizetype(first), records.end());
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
