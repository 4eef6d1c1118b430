#pragma once

#include "history/historyreader.h"
#include "history/transferrecord.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <vector>

class QAbstractProxyModel;

// The rows of the transfer list, without a widget: the files waiting in
// the send queue and the send and reception running now ("队列"), then this
// run's finished transfers and below them the history's, newest first, each
// in "失败" or "完成" by its outcome. Fed by the session; it changes nothing
// but itself, history.csv least of all. GUI thread only.
class TransferListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        Time,
        Direction,
        Controller,
        File,
        Size,
        Duration,
        Rate,
        Md5,
        Result,
        ColumnCount
    };
    enum class Tab { Queue, Failed, Done };
    Q_ENUM(Tab)
    enum Role {
        TabRole = Qt::UserRole + 1, // Tab, as an int
        DirectionRole,              // TransferRecord::Direction, as an int
        OutcomeRole,                // TransferOutcome's word; empty in the queue
        PathRole,                   // the file's path where it is known
        ProgressRole,               // 0 to 100 while it runs, if the size is known
    };
    // A running transfer's row changes at most once in this time, so that a
    // fast reception is not slowed by its list.
    static constexpr int UpdateMs = 100;

    explicit TransferListModel(QObject *parent = nullptr);
    ~TransferListModel() override;

    // The rows of one tab, for the view that shows it; owned by the model.
    QAbstractProxyModel *tab(Tab tab) const;
    Tab tabOf(int row) const;
    // What a row shows: a record, or a transfer waiting or running.
    const TransferRecord &recordAt(int row) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // The rows as a spreadsheet pastes them: a header line, then a line a
    // row, each field as shown, separated by tabs.
    QString tabSeparated(const QModelIndexList &rows) const;
    // Finished rows only: the queue's rows go with the queue.
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    void remove(const QModelIndexList &indexes);

public slots:
    // Reads the history in a thread of the model's own; the rows come
    // below this run's, and historyLoaded() tells when. Lines from the
    // second runStarted falls in and later are this run's, which come by
    // addRecord(), and are left out.
    void loadHistory(const QString &historyPath, const QDateTime &runStarted);
    // The send queue's waiting files, oldest first, whenever they change.
    void setWaiting(const QStringList &paths);
    // A send or reception began: what is known of it so far, and its size.
    void transferStarted(const TransferRecord &begun, quint64 total);
    void transferMoved(TransferRecord::Direction direction, quint64 bytes, qint64 elapsedMs);
    // A transfer ended: its record goes to the top of "失败" or "完成", and
    // the running row of its direction leaves the queue.
    void addRecord(const TransferRecord &record);
    void clearDone();

signals:
    // skipped: lines that did not parse; error: a file that could not be read.
    void historyLoaded(int entries, int skipped, const QString &error);

private:
    enum class Stage { Waiting, Running, Ended };
    struct Row
    {
        TransferRecord record;
        quint64 total = 0; // the size while it runs
        Stage stage = Stage::Ended;
    };

    static Row rowOf(TransferRecord record);
    int runStart() const;
    int historyStart() const;
    const Row *liveRow(int row) const;
    int runningCount() const;
    int runningRow(TransferRecord::Direction direction) const;
    void endRunning(TransferRecord::Direction direction);
    void setHistory(HistoryReader::Result read);
    void appendWaiting(const QStringList &paths);
    template <typename Pick> void removeFinished(Pick pick);
    void removeRange(int first, int last);
    void showProgress();
    static QVariant text(const Row &row, int column);
    static QString resultText(const Row &row);

    std::vector<Row> m_queue;              // running rows first, then the waiting ones
    std::vector<Row> m_run;                // this run's records, oldest first
    std::vector<TransferRecord> m_history; // newest first
    int m_loads = 0;
    QTimer m_update;
    QAbstractProxyModel *m_tabs[3] = {};
    QThreadPool m_reader;
};
