#include "app/settingsdialog.h"

#include "settings/language.h"
#include "transfer/limits.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

constexpr int CapIndex = int(SendPace::Mode::Cap);
// What the cap's field offers before a cap was set.
constexpr double DefaultCapMBps = 20;

} // namespace

SettingsDialog::SettingsDialog(const Choices &current, const QString &runningLanguage,
                               QWidget *parent)
    : QDialog(parent), m_runningLanguage(runningLanguage)
{
    setObjectName(QStringLiteral("settingsDialog"));
    setWindowTitle(tr("设置"));
    setModal(true);
    buildForm(current);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout()->addWidget(buttons);
}

// A label with each field, its buddy, names the field for a screen reader.
void SettingsDialog::buildForm(const Choices &current)
{
    auto *form = new QFormLayout;
    m_folder = new QLineEdit(QDir::toNativeSeparators(current.receiveFolder), this);
    m_folder->setObjectName(QStringLiteral("receiveFolderEdit"));
    m_folder->setMinimumWidth(fontMetrics().averageCharWidth() * 40);
    auto *choose = new QPushButton(tr("选择..."), this);
    choose->setObjectName(QStringLiteral("chooseFolderButton"));
    choose->setAccessibleName(tr("选择接收目录"));
    connect(choose, &QPushButton::clicked, this, &SettingsDialog::chooseFolder);
    m_folderButton = choose;
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(m_folder);
    folderRow->addWidget(choose);
    form->addRow(tr("接收目录:"), folderRow);
    static_cast<QLabel *>(form->labelForField(folderRow))->setBuddy(m_folder);

    m_bufferSize = new QSpinBox(this);
    m_bufferSize->setObjectName(QStringLiteral("bufferSizeSpinBox"));
    m_bufferSize->setRange(Limits::MinBufferSize, Limits::MaxBufferSize);
    m_bufferSize->setValue(current.bufferSize);
    form->addRow(tr("缓冲区:"), m_bufferSize);

    // Each language by its name in the window's language.
    m_language = new QComboBox(this);
    m_language->setObjectName(QStringLiteral("languageComboBox"));
    m_language->addItem(tr("中文"), QLatin1String(Language::Chinese));
    m_language->addItem(QStringLiteral("English"), QLatin1String(Language::English));
    select(m_language, current.language);
    form->addRow(tr("语言:"), m_language);
    m_restartNote = new QLabel(tr("语言在程序重新启动后生效"), this);
    m_restartNote->setObjectName(QStringLiteral("restartNote"));
    form->addRow(QString(), m_restartNote);
    connect(m_language, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::showRestartNote);
    showRestartNote();

    m_appearance = new QComboBox(this);
    m_appearance->setObjectName(QStringLiteral("appearanceComboBox"));
    m_appearance->addItem(tr("浅色"), QStringLiteral("light"));
    m_appearance->addItem(tr("深色"), QStringLiteral("dark"));
    m_appearance->addItem(tr("跟随系统"), QStringLiteral("system"));
    select(m_appearance, current.appearance);
    form->addRow(tr("外观:"), m_appearance);
    addSendRows(form, current);

    // In the order of ExistingFiles.
    m_existingFiles = new QComboBox(this);
    m_existingFiles->setObjectName(QStringLiteral("existingFilesComboBox"));
    m_existingFiles->addItems({tr("覆盖"), tr("保留两者"), tr("相同则跳过")});
    m_existingFiles->setCurrentIndex(int(current.existingFiles));
    form->addRow(tr("同名文件:"), m_existingFiles);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
}

// The pace as SendPace's modes are ordered; the cap's figure counts only
// for a cap.
void SettingsDialog::addSendRows(QFormLayout *form, const Choices &current)
{
    m_pace = new QComboBox(this);
    m_pace->setObjectName(QStringLiteral("sendPaceComboBox"));
    m_pace->addItems({tr("按节奏"), tr("全速"), tr("限速")});
    m_pace->setCurrentIndex(int(current.sendPace.mode));
    m_cap = new QDoubleSpinBox(this);
    m_cap->setObjectName(QStringLiteral("sendCapSpinBox"));
    m_cap->setAccessibleName(tr("限速"));
    m_cap->setDecimals(1);
    m_cap->setRange(0.1, SendPace::MaxCapMBps);
    m_cap->setSuffix(QStringLiteral(" MB/s"));
    m_cap->setValue(current.sendPace.mode == SendPace::Mode::Cap ? current.sendPace.capMBps
                                                                 : DefaultCapMBps);
    const auto showCap = [this] { m_cap->setEnabled(m_pace->currentIndex() == CapIndex); };
    connect(m_pace, QOverload<int>::of(&QComboBox::currentIndexChanged), this, showCap);
    showCap();
    auto *paceRow = new QHBoxLayout;
    paceRow->addWidget(m_pace, 1);
    paceRow->addWidget(m_cap, 1);
    form->addRow(tr("发送速度:"), paceRow);
    static_cast<QLabel *>(form->labelForField(paceRow))->setBuddy(m_pace);

    m_fileGap = new QSpinBox(this);
    m_fileGap->setObjectName(QStringLiteral("fileGapSpinBox"));
    m_fileGap->setRange(0, FileGap::MaxMs);
    m_fileGap->setSuffix(QStringLiteral(" ms"));
    m_fileGap->setValue(current.fileGapMs);
    form->addRow(tr("文件间隔:"), m_fileGap);
}

SendPace SettingsDialog::sendPace() const
{
    switch (SendPace::Mode(m_pace->currentIndex())) {
    case SendPace::Mode::Full:
        return SendPace::full();
    case SendPace::Mode::Cap:
        return SendPace::cap(m_cap->value());
    case SendPace::Mode::Paced:
        break;
    }
    return SendPace();
}

SettingsDialog::Choices SettingsDialog::choices() const
{
    Choices chosen;
    chosen.receiveFolder = QDir::fromNativeSeparators(m_folder->text());
    chosen.bufferSize = m_bufferSize->value();
    chosen.language = m_language->currentData().toString();
    chosen.appearance = m_appearance->currentData().toString();
    chosen.sendPace = sendPace();
    chosen.fileGapMs = m_fileGap->value();
    chosen.existingFiles = ExistingFiles(m_existingFiles->currentIndex());
    return chosen;
}

void SettingsDialog::setReceiveFolderEnabled(bool enabled)
{
    m_folder->setEnabled(enabled);
    m_folderButton->setEnabled(enabled);
}

void SettingsDialog::setBufferSizeEnabled(bool enabled)
{
    m_bufferSize->setEnabled(enabled);
}

void SettingsDialog::chooseFolder()
{
    const QString dir = QFileDialog::getExistingDirectory(this, tr("选择文件夹"), m_folder->text(),
                                                          QFileDialog::ShowDirsOnly);
    if (!dir.isEmpty())
        m_folder->setText(QDir::toNativeSeparators(dir));
}

void SettingsDialog::showRestartNote()
{
    m_restartNote->setVisible(m_language->currentData().toString() != m_runningLanguage);
}

void SettingsDialog::select(QComboBox *box, const QString &word)
{
    box->setCurrentIndex(qMax(0, box->findData(word)));
}
