#include "app/logview.h"

#include <QMenu>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <utility>

namespace {

// The log keeps its newest lines only (and the engine cuts each piece of
// controller text): a controller that floods the connection with text must
// not take the window's memory or its time. Old lines go a batch at a time,
// as each removal at the top lays the whole log out again.
constexpr int MaxLogBlocks = 2000;
constexpr int LogTrimBlocks = 500;

} // namespace

LogView::LogView(QTextEdit *log, MenuFiller fillMenu)
    : QObject(log), m_log(log), m_fillMenu(std::move(fillMenu))
{
    m_log->setReadOnly(true);
    // Nobody undoes a read-only log; the history would keep every line.
    m_log->document()->setUndoRedoEnabled(false);
    // Drops on the log must reach the window's own handlers.
    m_log->setAcceptDrops(false);
    m_log->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_log, &QWidget::customContextMenuRequested, this, &LogView::showMenu);
}

// Always plain text: raw data from the controller must show as it came,
// never be read as HTML.
void LogView::append(const QString &line)
{
    QScrollBar *scrollBar = m_log->verticalScrollBar();
    const bool atBottom = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(m_log->document());
    cursor.movePosition(QTextCursor::End);
    if (!m_log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    trim();
    if (atBottom)
        scrollBar->setValue(scrollBar->maximum());
}

void LogView::trim()
{
    QTextDocument *log = m_log->document();
    const int excess = log->blockCount() - MaxLogBlocks;
    if (excess <= 0)
        return;
    QTextCursor oldest(log);
    oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, excess + LogTrimBlocks);
    oldest.removeSelectedText();
}

void LogView::showMenu(const QPoint &position)
{
    QMenu *menu = m_log->createStandardContextMenu(position);
    menu->setObjectName(QStringLiteral("logMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    m_fillMenu(menu);
    menu->popup(m_log->viewport()->mapToGlobal(position));
}
