#pragma once

#include "settings/existingfiles.h"
#include "settings/sendpace.h"

#include <QDialog>
#include <QString>

class QComboBox;
class QFormLayout;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// "设置": the settings the window's form hides or never had. Modal, with
// OK and Cancel; the window takes what was chosen only on OK.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    struct Choices
    {
        QString receiveFolder;
        int bufferSize = 0;
        QString language;   // one of SettingsFile::Languages
        QString appearance; // one of SettingsFile::Appearances
        SendPace sendPace;
        int fileGapMs = 0;
        ExistingFiles existingFiles = ExistingFiles::Overwrite;
    };

    // runningLanguage: what the window speaks now, which a change of
    // language keeps until the program starts again.
    SettingsDialog(const Choices &current, const QString &runningLanguage,
                   QWidget *parent = nullptr);

    Choices choices() const;
    // The window locks its folder and buffer size while a transfer runs.
    void setReceiveFolderEnabled(bool enabled);
    void setBufferSizeEnabled(bool enabled);

private:
    void buildForm(const Choices &current);
    void addSendRows(QFormLayout *form, const Choices &current);
    SendPace sendPace() const;
    void chooseFolder();
    void showRestartNote();
    static void select(QComboBox *box, const QString &word);

    QString m_runningLanguage;
    QLineEdit *m_folder = nullptr;
    QWidget *m_folderButton = nullptr;
    QSpinBox *m_bufferSize = nullptr;
    QComboBox *m_language = nullptr;
    QComboBox *m_appearance = nullptr;
    QLabel *m_restartNote = nullptr;
    QComboBox *m_pace = nullptr;
    QDoubleSpinBox *m_cap = nullptr;
    QSpinBox *m_fileGap = nullptr;
    QComboBox *m_existingFiles = nullptr;
};
