#pragma once

#include "client/transferlistmodel.h"
#include "settings/settingsfile.h"

#include <QModelIndexList>
#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

class ClientSession;
class Desktop;
class QAction;
class QTabWidget;
class QTreeView;

// "传输列表": the session's transfer list in a window of its own, not
// modal, a tab for each of "队列", "失败" and "完成". Every action has a
// button, a context-menu entry and a key, and changes the list only:
// history.csv is the session's. Its place, size and column widths go into
// settings.ini once the user has made them other than the defaults.
class TransferListWindow : public QWidget
{
    Q_OBJECT

public:
    // The desktop is asked for each time: a test may put another in place.
    using DesktopOf = std::function<Desktop &()>;

    TransferListWindow(ClientSession *session, DesktopOf desktop, QWidget *parent);
    ~TransferListWindow() override;

    // Shows it in front, with the current tab's list in focus.
    void open();
    void restore(const SettingsFile::Values &stored);
    // Sets the window's keys in values if they are to change.
    void store(SettingsFile::Values &values) const;

private:
    using Tab = TransferListModel::Tab;

    void buildTabs();
    void buildActions();
    QAction *addListAction(const char *name, const QString &text, const QList<QKeySequence> &keys,
                           void (TransferListWindow::*slot)());
    QTreeView *currentView() const;
    Tab currentTab() const;
    // The rows selected in the current tab, as the model's rows, in order.
    QModelIndexList selectedRows() const;
    // The row acted on alone: the current one if it is selected.
    QModelIndex actedOnRow() const;
    void showTab(int index);
    void cycleTabs(int step);
    void updateActions();
    void showMenu(const QPoint &position);

    void retrySelected();
    void retryAll();
    void openFolder();
    void copyRows();
    void copyDigests();
    void removeSelected();
    void clearDone();
    void activate(const QModelIndex &index);
    void openFile(const TransferRecord &record);
    void showReason(const QModelIndex &row);
    void tell(const QString &title, const QString &text, const QString &details = QString());

    QList<int> columnWidths() const;
    QList<int> defaultColumnWidths() const;
    void applyColumnWidths(const QList<int> &widths);
    void placeFirstTime();

    ClientSession *m_session;
    TransferListModel *m_model;
    DesktopOf m_desktop;
    QTabWidget *m_tabs = nullptr;
    QTreeView *m_views[3] = {};
    QList<QAction *> m_listActions; // in the order of the buttons and the menu
    QAction *m_retry = nullptr;
    QAction *m_retryAll = nullptr;
    QAction *m_openFolder = nullptr;
    QAction *m_copy = nullptr;
    QAction *m_copyDigests = nullptr;
    QAction *m_remove = nullptr;
    QAction *m_clearDone = nullptr;
    std::optional<QByteArray> m_storedGeometry;
    std::optional<QList<int>> m_storedWidths;
    QRect m_defaultGeometry;
    bool m_opened = false;
    bool m_syncingWidths = false;
};
