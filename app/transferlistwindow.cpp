#include "app/transferlistwindow.h"

#include "app/desktop.h"
#include "client/clientsession.h"
#include "transfer/protocol.h"

#include <QAbstractProxyModel>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using Tab = TransferListModel::Tab;

constexpr Tab Tabs[] = {Tab::Queue, Tab::Failed, Tab::Done};
const char *const TabTexts[] = {QT_TRANSLATE_NOOP("TransferListWindow", "队列"),
                                QT_TRANSLATE_NOOP("TransferListWindow", "失败"),
                                QT_TRANSLATE_NOOP("TransferListWindow", "完成")};
const char *const ViewNames[] = {"queueView", "failedView", "doneView"};
// The widest text each column usually shows, for its width at first; the
// last column, the result, takes what is left. A digest shows its start,
// enough to tell two apart, so that the result fits on a laptop's screen.
const char *const WidestTexts[TransferListModel::ColumnCount - 1] = {
    "2026-12-08 14:03:27",
    QT_TRANSLATE_NOOP("TransferListModel", "接收"),
    "192.168.100.100",
    "kvr-program-0001.txt",
    "999.9 MB",
    "0:00:00",
    "999.9 MB/s",
    "0123456789abc"};
constexpr int RowsAtFirst = 16;

// A running transfer's result as a bar with its text on it.
class ProgressDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        const QVariant progress = index.data(TransferListModel::ProgressRole);
        if (index.column() != TransferListModel::Result || !progress.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(1, 1, -1, -1);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = progress.toInt();
        bar.text = index.data().toString();
        bar.textVisible = true;
        bar.state = option.state;
        const QWidget *view = option.widget;
        (view ? view->style() : QApplication::style())
            ->drawControl(QStyle::CE_ProgressBar, &bar, painter, view);
    }
};

} // namespace

TransferListWindow::TransferListWindow(ClientSession *session, DesktopOf desktop, QWidget *parent)
    : QWidget(parent, Qt::Window), m_session(session), m_model(session->transferList()),
      m_desktop(std::move(desktop))
{
    setObjectName(QStringLiteral("transferListWindow"));
    setWindowTitle(tr("传输列表"));
    // The window's font, as its other widgets have it.
    setAttribute(Qt::WA_WindowPropagation);
    buildTabs();
    buildActions();
    auto *buttons = new QHBoxLayout;
    for (QAction *action : qAsConst(m_listActions)) {
        auto *button = new QToolButton(this);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setDefaultAction(action);
        buttons->addWidget(button);
    }
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addLayout(buttons);
    for (Tab tab : Tabs) {
        QAbstractItemModel *rows = m_model->tab(tab);
        connect(rows, &QAbstractItemModel::rowsInserted, this, &TransferListWindow::updateActions);
        connect(rows, &QAbstractItemModel::rowsRemoved, this, &TransferListWindow::updateActions);
        connect(rows, &QAbstractItemModel::modelReset, this, &TransferListWindow::updateActions);
    }
    updateActions();
}

TransferListWindow::~TransferListWindow() = default;

void TransferListWindow::buildTabs()
{
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("transferTabs"));
    for (int i = 0; i < 3; ++i) {
        auto *view = new QTreeView(m_tabs);
        view->setObjectName(QLatin1String(ViewNames[i]));
        view->setAccessibleName(tr(TabTexts[i]));
        view->setModel(m_model->tab(Tabs[i]));
        view->setRootIsDecorated(false);
        view->setUniformRowHeights(true);
        view->setAlternatingRowColors(true);
        view->setAllColumnsShowFocus(true);
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setItemDelegate(new ProgressDelegate(view));
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this, &TransferListWindow::showMenu);
        connect(view, &QAbstractItemView::activated, this, &TransferListWindow::activate);
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                &TransferListWindow::updateActions);
        // One set of widths for the three tabs.
        connect(view->header(), &QHeaderView::sectionResized, this,
                [this](int column, int, int width) {
                    if (m_syncingWidths || column >= TransferListModel::ColumnCount - 1)
                        return;
                    m_syncingWidths = true;
                    for (QTreeView *other : m_views)
                        other->header()->resizeSection(column, width);
                    m_syncingWidths = false;
                });
        m_views[i] = view;
        m_tabs->addTab(view, tr(TabTexts[i]));
    }
    connect(m_tabs, &QTabWidget::currentChanged, this, &TransferListWindow::showTab);
}

void TransferListWindow::buildActions()
{
    const auto keys = [](QKeySequence::StandardKey key) { return QKeySequence::keyBindings(key); };
    m_retry = addListAction("act_retry", tr("重试"), {QKeySequence(Qt::CTRL | Qt::Key_R)},
                            &TransferListWindow::retrySelected);
    m_retryAll = addListAction("act_retryAll", tr("全部重试"),
                               {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)},
                               &TransferListWindow::retryAll);
    // As Windows' search opens a file's location.
    m_openFolder = addListAction(
        "act_openFolder", tr("打开所在文件夹"),
        {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)},
        &TransferListWindow::openFolder);
    m_copy = addListAction("act_copy", tr("复制"), keys(QKeySequence::Copy),
                           &TransferListWindow::copyRows);
    m_copyDigests = addListAction("act_copyMd5", tr("复制 MD5"),
                                  {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C)},
                                  &TransferListWindow::copyDigests);
    m_remove = addListAction("act_remove", tr("移除"), keys(QKeySequence::Delete),
                             &TransferListWindow::removeSelected);
    m_clearDone = addListAction("act_clearDone", tr("清空已完成"),
                                {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Delete)},
                                &TransferListWindow::clearDone);
    // Keys only: the tabs are the buttons.
    auto *next = new QAction(this);
    next->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Tab)});
    connect(next, &QAction::triggered, this, [this] { cycleTabs(1); });
    auto *previous = new QAction(this);
    previous->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab)});
    connect(previous, &QAction::triggered, this, [this] { cycleTabs(-1); });
    addActions({next, previous});
}

QAction *TransferListWindow::addListAction(const char *name, const QString &text,
                                           const QList<QKeySequence> &keys,
                                           void (TransferListWindow::*slot)())
{
    auto *action = new QAction(text, this);
    action->setObjectName(QLatin1String(name));
    action->setShortcuts(keys);
    action->setToolTip(QStringLiteral("%1 (%2)").arg(
        action->text(), keys.value(0).toString(QKeySequence::NativeText)));
    connect(action, &QAction::triggered, this, slot);
    addAction(action);
    m_listActions << action;
    return action;
}

// ---- Opening and the tabs ----

void TransferListWindow::open()
{
    const bool first = !m_opened;
    placeFirstTime();
    show();
    // Where the platform put it (a frame, a window manager) is the default.
    if (first && !m_storedGeometry)
        QTimer::singleShot(0, this, [this] { m_defaultGeometry = geometry(); });
    raise();
    activateWindow();
    currentView()->setFocus();
}

QTreeView *TransferListWindow::currentView() const
{
    return m_views[m_tabs->currentIndex()];
}

TransferListWindow::Tab TransferListWindow::currentTab() const
{
    return Tabs[m_tabs->currentIndex()];
}

void TransferListWindow::showTab(int)
{
    currentView()->setFocus();
    updateActions();
}

void TransferListWindow::cycleTabs(int step)
{
    m_tabs->setCurrentIndex((m_tabs->currentIndex() + step + 3) % 3);
}

QModelIndexList TransferListWindow::selectedRows() const
{
    const QAbstractProxyModel *rows = m_model->tab(currentTab());
    QModelIndexList selected;
    for (const QModelIndex &index : currentView()->selectionModel()->selectedRows())
        selected << rows->mapToSource(index);
    std::sort(selected.begin(), selected.end());
    return selected;
}

QModelIndex TransferListWindow::actedOnRow() const
{
    const QModelIndex current = currentView()->currentIndex();
    if (current.isValid() && currentView()->selectionModel()->isRowSelected(current.row(), {}))
        return m_model->tab(currentTab())->mapToSource(current.siblingAtColumn(0));
    const QModelIndexList selected = selectedRows();
    return selected.isEmpty() ? QModelIndex() : selected.first();
}

void TransferListWindow::updateActions()
{
    const QModelIndexList selected = selectedRows();
    const bool any = !selected.isEmpty();
    const QModelIndex one = actedOnRow();
    m_retry->setEnabled(any && currentTab() == Tab::Failed);
    m_retryAll->setEnabled(m_model->tab(Tab::Failed)->rowCount() > 0);
    m_openFolder->setEnabled(one.isValid() && !m_model->recordAt(one.row()).path.isEmpty());
    m_copy->setEnabled(any);
    m_copyDigests->setEnabled(
        std::any_of(selected.cbegin(), selected.cend(), [this](const auto &row) {
            return !m_model->recordAt(row.row()).md5Hex.isEmpty();
        }));
    m_remove->setEnabled(any && currentTab() != Tab::Queue);
    m_clearDone->setEnabled(m_model->tab(Tab::Done)->rowCount() > 0);
}

void TransferListWindow::showMenu(const QPoint &position)
{
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("transferListMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addActions(m_listActions);
    menu->popup(currentView()->viewport()->mapToGlobal(position));
}

// ---- What the user does ----

void TransferListWindow::retrySelected()
{
    m_session->retry(selectedRows());
}

void TransferListWindow::retryAll()
{
    m_session->retryAll();
}

void TransferListWindow::openFolder()
{
    const QModelIndex row = actedOnRow();
    if (row.isValid())
        m_desktop().showFile(m_model->recordAt(row.row()).path);
}

void TransferListWindow::copyRows()
{
    QApplication::clipboard()->setText(m_model->tabSeparated(selectedRows()));
}

// One digest a line; a single one alone, as a checksum field takes it.
void TransferListWindow::copyDigests()
{
    QStringList digests;
    for (const QModelIndex &row : selectedRows()) {
        const QByteArray digest = m_model->recordAt(row.row()).md5Hex;
        if (!digest.isEmpty())
            digests << QString::fromLatin1(digest);
    }
    QApplication::clipboard()->setText(digests.join(QLatin1Char('\n')));
}

void TransferListWindow::removeSelected()
{
    if (currentTab() != Tab::Queue)
        m_model->remove(selectedRows());
}

void TransferListWindow::clearDone()
{
    m_model->clearDone();
}

// Enter, or a double click.
void TransferListWindow::activate(const QModelIndex &index)
{
    const QModelIndex row = m_model->tab(currentTab())->mapToSource(index);
    if (currentTab() == Tab::Done)
        openFile(m_model->recordAt(row.row()));
    else if (currentTab() == Tab::Failed)
        showReason(row);
}

void TransferListWindow::openFile(const TransferRecord &record)
{
    if (record.path.isEmpty())
        tell(tr("无法打开文件"), Protocol::printable(record.fileName),
             tr("传输记录未保存文件的位置"));
    else if (!QFileInfo(record.path).isFile())
        tell(tr("无法打开文件"), QDir::toNativeSeparators(record.path), tr("文件已不存在"));
    else
        m_desktop().open(QUrl::fromLocalFile(record.path));
}

void TransferListWindow::showReason(const QModelIndex &row)
{
    const TransferRecord &record = m_model->recordAt(row.row());
    const QString where = record.path.isEmpty() ? Protocol::printable(record.fileName)
                                                : QDir::toNativeSeparators(record.path);
    tell(tr("失败原因"), where, row.siblingAtColumn(TransferListModel::Result).data().toString());
}

// Not modal: the list stays usable beside it.
void TransferListWindow::tell(const QString &title, const QString &text, const QString &details)
{
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("transferListMessage"));
    box->setInformativeText(details);
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

// ---- Its place and column widths ----

void TransferListWindow::restore(const SettingsFile::Values &stored)
{
    m_storedGeometry = stored.transferListGeometry;
    // Widths for other columns than these count as none.
    if (stored.transferListColumns &&
        stored.transferListColumns->size() == TransferListModel::ColumnCount - 1)
        m_storedWidths = stored.transferListColumns;
}

// A window that was not opened in this run leaves its keys as they were.
void TransferListWindow::store(SettingsFile::Values &values) const
{
    if (!m_opened)
        return;
    const bool moved = m_storedGeometry || geometry() != m_defaultGeometry;
    values.transferListGeometry = moved ? saveGeometry() : QByteArray();
    const QList<int> widths = columnWidths();
    values.transferListColumns = widths == defaultColumnWidths() ? QList<int>() : widths;
}

QList<int> TransferListWindow::columnWidths() const
{
    QList<int> widths;
    for (int column = 0; column < TransferListModel::ColumnCount - 1; ++column)
        widths << m_views[0]->header()->sectionSize(column);
    return widths;
}

// By the font the window has when it first opens, scaled as the display is.
QList<int> TransferListWindow::defaultColumnWidths() const
{
    const int padding = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin) +
                        fontMetrics().horizontalAdvance(QLatin1Char('M'));
    QList<int> widths;
    for (const char *text : WidestTexts)
        widths << fontMetrics().horizontalAdvance(TransferListModel::tr(text)) + padding;
    return widths;
}

void TransferListWindow::applyColumnWidths(const QList<int> &widths)
{
    for (int column = 0; column < widths.size(); ++column)
        m_views[0]->header()->resizeSection(column, widths.at(column));
}

// The first time it opens, in a run: where the user left it, or else wide
// enough for its columns, over the main window.
void TransferListWindow::placeFirstTime()
{
    if (std::exchange(m_opened, true))
        return;
    const QList<int> defaults = defaultColumnWidths();
    applyColumnWidths(m_storedWidths.value_or(defaults));
    if (m_storedGeometry && restoreGeometry(*m_storedGeometry))
        return;
    m_storedGeometry.reset();
    int width = 0;
    for (const int column : defaults)
        width += column;
    width += fontMetrics().horizontalAdvance(QLatin1Char('M')) * 24;
    const int height = sizeHint().height() + fontMetrics().height() * RowsAtFirst;
    const QPoint over = parentWidget() ? parentWidget()->geometry().center() : QPoint();
    const QScreen *shown = QGuiApplication::screenAt(over);
    const QRect screen = (shown ? shown : QGuiApplication::primaryScreen())->availableGeometry();
    QRect placed(0, 0, std::min(width, screen.width()), std::min(height, screen.height()));
    placed.moveCenter(shown ? over : screen.center());
    placed.moveLeft(
        qBound(screen.left(), placed.left(), screen.x() + screen.width() - placed.width()));
    placed.moveTop(
        qBound(screen.top(), placed.top(), screen.y() + screen.height() - placed.height()));
    setGeometry(placed);
}
