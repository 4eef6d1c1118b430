#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QMenu;
class QPoint;
class QTextEdit;

// The window's log: plain text, one paragraph a line, its newest lines
// only, and a context menu with the window's own entries below the
// standard ones.
class LogView : public QObject
{
    Q_OBJECT

public:
    using MenuFiller = std::function<void(QMenu *menu)>;

    LogView(QTextEdit *log, MenuFiller fillMenu);

    void append(const QString &line);

private:
    void trim();
    void showMenu(const QPoint &position);

    QTextEdit *m_log;
    MenuFiller m_fillMenu;
};
