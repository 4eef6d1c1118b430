#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;
class QUrl;
class QWidget;

// What the window asks of the desktop around it. Tests put a recorder in
// its place.
class Desktop
{
public:
    virtual ~Desktop();
    // Tells the user, who is in another window, that a transfer ended.
    virtual void notify(const QString &text) = 0;
    // Opens a folder or file as the file manager would.
    virtual bool open(const QUrl &url) = 0;
    // Shows a file where it lies: here the folder it is in.
    virtual bool showFile(const QString &path);
};

// The system's: a message from the notification area while there is one,
// else a flash of the window's taskbar entry. The icon shows in the
// notification area from the first message until the window is active
// again; a click on it or the message brings the window up.
class SystemDesktop : public QObject, public Desktop
{
    Q_OBJECT

public:
    explicit SystemDesktop(QWidget *window);
    ~SystemDesktop() override;

    void notify(const QString &text) override;
    bool open(const QUrl &url) override;
    // Selected in Explorer on Windows.
    bool showFile(const QString &path) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showWindow();

    QWidget *m_window;
    QSystemTrayIcon *m_trayIcon = nullptr;
};
