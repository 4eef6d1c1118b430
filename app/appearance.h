#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPalette>
#include <QString>

#include <optional>

class QWidget;

// The window's look: the platform's own light one, as the window always
// had, a dark one (the Fusion style with a palette of its own), or the one
// the system is set to, followed while the program runs. Under Windows'
// high contrast the native look stays, whatever is chosen. On Windows the
// title bars of the windows and dialogs follow the look.
// GUI thread only; one per application.
class Appearance : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    // In the order of SettingsFile::Appearances.
    enum class Look { Light, Dark, System };

    // The look a word of settings.ini or the command line names; Light for
    // none.
    static Look lookOf(const std::optional<QString> &word);
    static QString wordOf(Look look);
    // Every role of every group set, each text readable on its background.
    static QPalette darkPalette();

    // Remembers the application's own look, which Light brings back.
    explicit Appearance(QObject *parent = nullptr);
    ~Appearance() override;

    void apply(Look look);
    Look look() const { return m_look; }
    // What is shown now: System resolved.
    bool dark() const { return m_dark; }

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    // The system's look changed: followed when the look is System.
    void followSystem();

private:
    void show(bool dark);
    static bool systemIsDark();
    static bool highContrast();
    static void setDarkTitleBar(QWidget *window, bool dark);

    QString m_lightStyle;
    QPalette m_lightPalette;
    Look m_look = Look::Light;
    bool m_dark = false;
};
