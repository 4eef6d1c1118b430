#include "client/transferlistmodel.h"

#include "history/historyreader.h"
#include "history/transferoutcome.h"
#include "transfer/protocol.h"
#include "transfer/transferrate.h"

#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QSortFilterProxyModel>

#include <algorithm>
#include <iterator>

namespace {

const char *const Headers[TransferListModel::ColumnCount] = {
    QT_TRANSLATE_NOOP("TransferListModel", "时间"),
    QT_TRANSLATE_NOOP("TransferListModel", "方向"),
    QT_TRANSLATE_NOOP("TransferListModel", "控制器"),
    QT_TRANSLATE_NOOP("TransferListModel", "文件"),
    QT_TRANSLATE_NOOP("TransferListModel", "大小"),
    QT_TRANSLATE_NOOP("TransferListModel", "耗时"),
    QT_TRANSLATE_NOOP("TransferListModel", "速率"),
    "MD5",
    QT_TRANSLATE_NOOP("TransferListModel", "结果")};

// What each outcome says to a user.
struct Said
{
    const char *outcome;
    const char *text;
};
const Said Texts[] = {
    {TransferOutcome::Done, QT_TRANSLATE_NOOP("TransferListModel", "完成")},
    {TransferOutcome::SkippedIdentical,
     QT_TRANSLATE_NOOP("TransferListModel", "与已有文件相同, 已跳过")},
    {TransferOutcome::SizeMismatch,
     QT_TRANSLATE_NOOP("TransferListModel", "大小与声明不符, 未经 MD5 校验")},
    {TransferOutcome::ConnectionLost, QT_TRANSLATE_NOOP("TransferListModel", "连接已断开")},
    {TransferOutcome::Interrupted, QT_TRANSLATE_NOOP("TransferListModel", "已被中断")},
    {TransferOutcome::Incomplete, QT_TRANSLATE_NOOP("TransferListModel", "未接收完: 已停止等待")},
    {TransferOutcome::Timeout, QT_TRANSLATE_NOOP("TransferListModel", "接收超时")},
    {TransferOutcome::OpenFailed, QT_TRANSLATE_NOOP("TransferListModel", "打开文件失败")},
    {TransferOutcome::ChangedDuringSend,
     QT_TRANSLATE_NOOP("TransferListModel", "文件在发送中被修改")},
    {TransferOutcome::ReadFailed, QT_TRANSLATE_NOOP("TransferListModel", "读取文件失败")},
    {TransferOutcome::ProgramFile,
     QT_TRANSLATE_NOOP("TransferListModel", "拒绝接收: 不能覆盖本程序自己的文件")},
    {TransferOutcome::CreateFailed, QT_TRANSLATE_NOOP("TransferListModel", "创建文件失败")},
    {TransferOutcome::SizeExceeded,
     QT_TRANSLATE_NOOP("TransferListModel", "远超声明的大小, 仍无结束标记")},
    {TransferOutcome::WriteFailed, QT_TRANSLATE_NOOP("TransferListModel", "写入文件失败")},
};

// Erases the elements whose index picked() picks.
template <typename T, typename Picked> void eraseIf(std::vector<T> &items, Picked picked)
{
    size_t index = 0;
    items.erase(
        std::remove_if(items.begin(), items.end(), [&](const T &) { return picked(index++); }),
        items.end());
}

// Removing more scattered rows than this at once resets the model instead:
// each removal costs every view a pass over its rows.
constexpr int MaxRemovals = 16;

QString translated(const char *text)
{
    return TransferListModel::tr(text);
}

bool isSend(const TransferRecord &record)
{
    return record.direction == TransferRecord::Direction::Send;
}

QString outcomeText(const QString &outcome)
{
    for (const Said &said : Texts) {
        if (outcome == QLatin1String(said.outcome))
            return translated(said.text);
    }
    return outcome; // a word of a later version
}

QString digestText(const QByteArray &hex)
{
    return hex.isEmpty() ? TransferListModel::tr("未记录") : QString::fromLatin1(hex);
}

// Only this run's records know them: the history keeps neither.
QString mismatchText(const QByteArray &announced, const QByteArray &computed)
{
    return TransferListModel::tr("MD5 校验失败: 声明 %1, 计算 %2")
        .arg(digestText(announced), digestText(computed));
}

// Decimal units, as the rate shows them.
QString sizeText(quint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    const char *const units[] = {"kB", "MB", "GB", "TB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    for (; value >= 1000.0 && unit < 3; ++unit)
        value /= 1000.0;
    return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

// A small file takes milliseconds, which "0.0 s" beside its rate would hide.
QString durationText(qint64 ms)
{
    if (ms < 60000)
        return QString::number(double(ms) / 1000.0, 'f', ms < 1000 ? 3 : 1) + QLatin1String(" s");
    return TransferRate::timeText(ms / 1000);
}

QString controllerText(const TransferRecord &record)
{
    if (record.port == 0 || record.port == Protocol::ControllerPort)
        return record.host;
    return record.host + QLatin1Char(':') + QString::number(record.port);
}

int percent(quint64 bytes, quint64 total)
{
    return int(std::min<quint64>(100, bytes * 100 / total));
}

class TabFilter : public QSortFilterProxyModel
{
public:
    TabFilter(TransferListModel::Tab tab, TransferListModel *list)
        : QSortFilterProxyModel(list), m_tab(tab), m_list(list)
    {
        setSourceModel(list);
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &) const override
    {
        return m_list->tabOf(row) == m_tab;
    }

private:
    const TransferListModel::Tab m_tab;
    const TransferListModel *m_list;
};

} // namespace

TransferListModel::TransferListModel(QObject *parent) : QAbstractTableModel(parent)
{
    m_update.setSingleShot(true);
    m_update.setInterval(UpdateMs);
    connect(&m_update, &QTimer::timeout, this, &TransferListModel::showProgress);
    m_reader.setMaxThreadCount(1);
    for (Tab tab : {Tab::Queue, Tab::Failed, Tab::Done})
        m_tabs[int(tab)] = new TabFilter(tab, this);
}

// A history still being read is waited for: its rows come to this model.
TransferListModel::~TransferListModel()
{
    m_reader.waitForDone();
}

QAbstractProxyModel *TransferListModel::tab(Tab tab) const
{
    return m_tabs[int(tab)];
}

TransferListModel::Tab TransferListModel::tabOf(int row) const
{
    if (row < runStart())
        return Tab::Queue;
    return recordAt(row).done() ? Tab::Done : Tab::Failed;
}

int TransferListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : historyStart() + int(m_history.size());
}

int TransferListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TransferListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row *live = liveRow(index.row());
    const Row row = live ? *live : rowOf(recordAt(index.row()));
    switch (role) {
    case Qt::DisplayRole:
        return text(row, index.column());
    case TabRole:
        return int(tabOf(index.row()));
    case DirectionRole:
        return int(row.record.direction);
    case OutcomeRole:
        return row.stage == Stage::Ended ? row.record.outcome : QString();
    case PathRole:
        return row.record.path;
    case ProgressRole:
        if (row.stage == Stage::Running && row.total > 0)
            return percent(row.record.bytes, row.total);
        return {};
    default:
        return {};
    }
}

QVariant TransferListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return translated(Headers[section]);
}

QString TransferListModel::tabSeparated(const QModelIndexList &rows) const
{
    const auto line = [](const QStringList &fields) -> QString {
        QStringList cells = fields;
        // A tab or line break inside a field would open another cell.
        for (QString &cell : cells)
            cell.replace(QLatin1Char('\t'), QLatin1Char(' '))
                .replace(QLatin1Char('\n'), QLatin1Char(' '))
                .replace(QLatin1Char('\r'), QLatin1Char(' '));
        return cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    };
    QStringList header;
    for (const char *text : Headers)
        header << translated(text);
    QString text = line(header);
    for (const QModelIndex &row : rows) {
        QStringList fields;
        for (int column = 0; column < ColumnCount; ++column)
            fields << data(index(row.row(), column)).toString();
        text += line(fields);
    }
    return text;
}

bool TransferListModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || count <= 0 || row < runStart() || row + count > rowCount())
        return false;
    removeRange(row, row + count - 1);
    return true;
}

void TransferListModel::remove(const QModelIndexList &indexes)
{
    QSet<int> rows;
    for (const QModelIndex &index : indexes) {
        if (index.model() == this)
            rows.insert(index.row());
    }
    removeFinished([&rows](int row) { return rows.contains(row); });
}

void TransferListModel::loadHistory(const QString &historyPath, const QDateTime &runStarted)
{
    const int load = ++m_loads;
    m_reader.start([this, load, historyPath, runStarted] {
        HistoryReader::Result read = HistoryReader::read(historyPath, runStarted);
        QMetaObject::invokeMethod(
            this,
            [this, load, read = std::move(read)]() mutable {
                // A later load replaces this one.
                if (load == m_loads)
                    setHistory(std::move(read));
            },
            Qt::QueuedConnection);
    });
}

// A file that leaves the front of the queue was handed over; files that
// join go at its end. The rows in between stay, and with them what a view
// has selected.
void TransferListModel::setWaiting(const QStringList &paths)
{
    const int first = runningCount();
    const int waiting = int(m_queue.size()) - first;
    const auto stays = [&](int gone) {
        if (waiting - gone > paths.size())
            return false;
        for (int i = 0; i < waiting - gone; ++i) {
            if (m_queue[size_t(first) + size_t(gone) + size_t(i)].record.path != paths.at(i))
                return false;
        }
        return true;
    };
    int gone = 0;
    while (gone < waiting && !stays(gone))
        ++gone;
    if (gone > 0) {
        beginRemoveRows(QModelIndex(), first, first + gone - 1);
        m_queue.erase(m_queue.begin() + first, m_queue.begin() + first + gone);
        endRemoveRows();
    }
    appendWaiting(paths.mid(waiting - gone));
}

void TransferListModel::transferStarted(const TransferRecord &begun, quint64 total)
{
    Row running = rowOf(begun);
    running.total = total;
    running.stage = Stage::Running;
    const int row = runningRow(begun.direction);
    if (row >= 0) {
        m_queue[size_t(row)] = std::move(running);
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        return;
    }
    const int at = runningCount();
    beginInsertRows(QModelIndex(), at, at);
    m_queue.insert(m_queue.begin() + at, std::move(running));
    endInsertRows();
}

// Only the numbers change now; the rows show them when the update is due.
void TransferListModel::transferMoved(TransferRecord::Direction direction, quint64 bytes,
                                      qint64 elapsedMs)
{
    const int row = runningRow(direction);
    if (row < 0)
        return;
    m_queue[size_t(row)].record.bytes = bytes;
    m_queue[size_t(row)].record.ms = elapsedMs;
    if (!m_update.isActive())
        m_update.start();
}

void TransferListModel::addRecord(const TransferRecord &record)
{
    endRunning(record.direction);
    beginInsertRows(QModelIndex(), runStart(), runStart());
    m_run.push_back(rowOf(record));
    endInsertRows();
}

void TransferListModel::clearDone()
{
    removeFinished([this](int row) { return tabOf(row) == Tab::Done; });
}

// ---- Rows ----

// The one place that knows what a finished transfer's record holds.
TransferListModel::Row TransferListModel::rowOf(TransferRecord record)
{
    return Row{std::move(record)};
}

int TransferListModel::runStart() const
{
    return int(m_queue.size());
}

int TransferListModel::historyStart() const
{
    return runStart() + int(m_run.size());
}

// This run's records are kept oldest first, so that a new one is added at
// the end; the history as it was read.
const TransferListModel::Row *TransferListModel::liveRow(int row) const
{
    if (row < runStart())
        return &m_queue[size_t(row)];
    if (row < historyStart())
        return &m_run[m_run.size() - 1 - size_t(row - runStart())];
    return nullptr;
}

const TransferRecord &TransferListModel::recordAt(int row) const
{
    const Row *live = liveRow(row);
    return live ? live->record : m_history[size_t(row - historyStart())];
}

// The running rows come first: a long queue costs a progress report nothing.
int TransferListModel::runningCount() const
{
    const auto waiting = std::find_if(m_queue.cbegin(), m_queue.cend(),
                                      [](const Row &row) { return row.stage != Stage::Running; });
    return int(waiting - m_queue.cbegin());
}

int TransferListModel::runningRow(TransferRecord::Direction direction) const
{
    for (int row = 0; row < runningCount(); ++row) {
        if (m_queue[size_t(row)].record.direction == direction)
            return row;
    }
    return -1;
}

void TransferListModel::endRunning(TransferRecord::Direction direction)
{
    const int row = runningRow(direction);
    if (row < 0)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_queue.erase(m_queue.begin() + row);
    endRemoveRows();
}

void TransferListModel::setHistory(HistoryReader::Result read)
{
    if (!m_history.empty()) {
        beginRemoveRows(QModelIndex(), historyStart(), rowCount() - 1);
        m_history.clear();
        endRemoveRows();
    }
    const int records = int(read.records.size());
    if (records > 0) {
        beginInsertRows(QModelIndex(), historyStart(), historyStart() + records - 1);
        m_history = std::move(read.records);
        endInsertRows();
    }
    emit historyLoaded(records, read.skipped, read.error);
}

void TransferListModel::appendWaiting(const QStringList &joining)
{
    if (joining.isEmpty())
        return;
    const int first = runStart();
    beginInsertRows(QModelIndex(), first, first + int(joining.size()) - 1);
    for (const QString &path : joining) {
        TransferRecord record;
        record.direction = TransferRecord::Direction::Send;
        record.fileName = Protocol::fileNameOf(path);
        record.path = path;
        record.bytes = quint64(std::max<qint64>(0, QFileInfo(path).size()));
        Row row = rowOf(std::move(record));
        row.stage = Stage::Waiting;
        m_queue.push_back(std::move(row));
    }
    endInsertRows();
}

// Rows in runs from the bottom up, so that the rows of a run still to come
// keep their numbers.
template <typename Pick> void TransferListModel::removeFinished(Pick pick)
{
    QVector<QPair<int, int>> runs;
    for (int row = rowCount() - 1; row >= runStart(); --row) {
        if (!pick(row))
            continue;
        if (!runs.isEmpty() && runs.last().first == row + 1)
            runs.last().first = row;
        else
            runs.append({row, row});
    }
    if (runs.size() > MaxRemovals) {
        std::vector<bool> picked(static_cast<size_t>(rowCount()));
        for (const auto &run : runs)
            std::fill(picked.begin() + run.first, picked.begin() + run.second + 1, true);
        beginResetModel();
        const int newest = historyStart() - 1;
        eraseIf(m_run, [&](size_t i) { return picked[size_t(newest) - i]; });
        eraseIf(m_history, [&](size_t i) { return picked[size_t(newest + 1) + i]; });
        endResetModel();
        return;
    }
    for (const auto &run : runs)
        removeRange(run.first, run.second);
}

void TransferListModel::removeRange(int first, int last)
{
    const int history = historyStart();
    beginRemoveRows(QModelIndex(), first, last);
    if (last >= history)
        m_history.erase(m_history.begin() + std::max(first - history, 0),
                        m_history.begin() + (last - history + 1));
    if (first < history) {
        const int newest = history - 1;
        m_run.erase(m_run.begin() + (newest - std::min(last, newest)),
                    m_run.begin() + (newest - first + 1));
    }
    endRemoveRows();
}

void TransferListModel::showProgress()
{
    const int running = runningCount();
    if (running > 0)
        emit dataChanged(index(0, 0), index(running - 1, ColumnCount - 1));
}

// ---- Texts ----

QVariant TransferListModel::text(const Row &row, int column)
{
    const TransferRecord &record = row.record;
    const bool waiting = row.stage == Stage::Waiting;
    switch (column) {
    case Time:
        return record.endTime.isValid()
                   ? QLocale::c().toString(record.endTime.toLocalTime(),
                                           QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                   : QString();
    case Direction:
        return isSend(record) ? tr("发送") : tr("接收");
    case Controller:
        return controllerText(record);
    case File:
        return Protocol::printable(record.fileName);
    case Size:
        return sizeText(row.stage == Stage::Running && row.total > 0 ? row.total : record.bytes);
    case Duration:
        return waiting ? QString() : durationText(record.ms);
    case Rate:
        return waiting || record.ms <= 0
                   ? QString()
                   : TransferRate::rateText(double(record.bytes) * 1000.0 / double(record.ms));
    case Md5:
        return QString::fromLatin1(record.md5Hex);
    default:
        return resultText(row);
    }
}

QString TransferListModel::resultText(const Row &row)
{
    const TransferRecord &record = row.record;
    switch (row.stage) {
    case Stage::Waiting:
        return tr("等待发送");
    case Stage::Running: {
        const QString doing = isSend(record) ? tr("发送中") : tr("接收中");
        return row.total > 0 ? doing + QStringLiteral(" %1%").arg(percent(record.bytes, row.total))
                             : doing;
    }
    case Stage::Ended:
        break;
    }
    if (record.outcome == QLatin1String(TransferOutcome::DigestMismatch))
        return mismatchText(record.announcedMd5Hex, record.computedMd5Hex);
    return outcomeText(record.outcome);
}
