#include "settings/settingsfile.h"

#include "settings/recentaddresses.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

// Hand-edited in an editor that saves UTF-8, as Notepad does, the file
// means what it says; the toolkit's escapes of older files read the same.
void useUtf8(QSettings &settings)
{
    settings.setIniCodec("UTF-8");
}

// Notepad on older Windows starts a UTF-8 file with a byte-order mark, which
// the toolkit leaves in the first key's name when no section comes first.
QString markedName(const char *key)
{
    return QLatin1String("\xef\xbb\xbf") + QLatin1String(key);
}

QString storedName(const QSettings &settings, const char *key)
{
    const QString name = QLatin1String(key);
    return !settings.contains(name) && settings.contains(markedName(key)) ? markedName(key) : name;
}

std::optional<QString> readKey(const QSettings &settings, const char *key)
{
    const QString name = storedName(settings, key);
    if (!settings.contains(name))
        return std::nullopt;
    return settings.value(name).toString();
}

// A list of one reads back as a text, an empty one as nothing at all.
std::optional<QStringList> readList(const QSettings &settings, const char *key)
{
    const QString name = storedName(settings, key);
    if (!settings.contains(name))
        return std::nullopt;
    const QVariant value = settings.value(name);
    switch (value.userType()) {
    case QMetaType::UnknownType:
    case QMetaType::QString:
    case QMetaType::QStringList:
        return RecentAddresses(value.toStringList()).list();
    default:
        return std::nullopt;
    }
}

std::optional<QByteArray> readBytes(const QSettings &settings, const char *key)
{
    const QVariant value = settings.value(storedName(settings, key));
    if (value.userType() != QMetaType::QByteArray)
        return std::nullopt;
    return value.toByteArray();
}

// Repeats are kept: unlike addresses, two columns may be as wide.
std::optional<QList<int>> readWidths(const QSettings &settings, const char *key)
{
    const QVariant value = settings.value(storedName(settings, key));
    if (value.userType() != QMetaType::QString && value.userType() != QMetaType::QStringList)
        return std::nullopt;
    QList<int> widths;
    for (const QString &text : value.toStringList()) {
        bool ok = false;
        const int width = text.toInt(&ok);
        if (!ok || width < 1 || width > SettingsFile::MaxColumnWidth)
            return std::nullopt;
        widths << width;
    }
    return widths;
}

// One of words, in any case and with blanks around, as the word itself.
template <std::size_t N>
std::optional<QString> readWord(const QSettings &settings, const char *key,
                                const char *const (&words)[N])
{
    const QString value = readKey(settings, key).value_or(QString()).trimmed().toLower();
    for (const char *word : words) {
        if (value == QString::fromLatin1(word).toLower())
            return QString::fromLatin1(word);
    }
    return std::nullopt;
}

std::optional<bool> readSwitch(const QSettings &settings, const char *key)
{
    const QString value = readKey(settings, key).value_or(QString()).trimmed().toLower();
    if (value == QLatin1String("true"))
        return true;
    if (value == QLatin1String("false"))
        return false;
    return std::nullopt;
}

void writeKey(QSettings &settings, const char *key, const std::optional<QString> &value)
{
    if (value)
        settings.setValue(QLatin1String(key), *value);
}

// Empty, the key goes.
template <typename T>
void writeUnlessEmpty(QSettings &settings, const char *key, const std::optional<T> &value)
{
    if (!value)
        return;
    if (value->isEmpty())
        settings.remove(QLatin1String(key));
    else
        settings.setValue(QLatin1String(key), QVariant::fromValue(*value));
}

QVariant stored(bool value)
{
    return value;
}

QVariant stored(int value)
{
    return value;
}

QVariant stored(const QString &text)
{
    return text;
}

QVariant stored(ExistingFiles rule)
{
    return ExistingFilesRule::wordOf(rule);
}

QVariant stored(const SendPace &pace)
{
    return pace.toString();
}

template <typename T>
void writeUnlessDefault(QSettings &settings, const char *key, const std::optional<T> &value,
                        const T &fallback)
{
    if (!value)
        return;
    if (*value == fallback)
        settings.remove(QLatin1String(key));
    else
        settings.setValue(QLatin1String(key), stored(*value));
}

std::optional<QStringList> textsOf(const std::optional<QList<int>> &numbers)
{
    if (!numbers)
        return std::nullopt;
    QStringList texts;
    for (const int number : *numbers)
        texts << QString::number(number);
    return texts;
}

std::optional<ExistingFiles> readRule(const QSettings &settings, const char *key)
{
    const std::optional<QString> word = readKey(settings, key);
    return word ? ExistingFilesRule::of(*word) : std::nullopt;
}

} // namespace

bool SettingsFile::isPortable(const QString &programDir)
{
    const QDir dir(programDir);
    return QFileInfo::exists(dir.filePath(QLatin1String(FileName))) ||
           QFileInfo::exists(dir.filePath(QLatin1String(PortableMarker)));
}

QString SettingsFile::path(const QString &programDir)
{
    if (isPortable(programDir))
        return QDir(programDir).filePath(QLatin1String(FileName));
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QLatin1Char('/') +
           QLatin1String(FileName);
}

QString SettingsFile::userReceiveFolder()
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString base = QFileInfo(downloads).isDir() ? downloads : QDir::homePath();
    return base + QLatin1Char('/') + QCoreApplication::applicationName();
}

QString SettingsFile::defaultReceiveFolder(bool installed)
{
    if (!installed)
        return QCoreApplication::applicationDirPath();
    QString folder = userReceiveFolder();
    QDir().mkpath(folder);
    return folder;
}

QString SettingsFile::receiveFolder(const QString &chosen, bool installed)
{
    return chosen.isEmpty() && installed ? defaultReceiveFolder(installed) : chosen;
}

SettingsFile::Values SettingsFile::read(const QString &filePath)
{
    QSettings settings(filePath, QSettings::IniFormat);
    useUtf8(settings);
    const auto text = [&settings](const char *key) {
        return readKey(settings, key).value_or(QString());
    };
    return {readKey(settings, KeySaveFilePath),
            readKey(settings, KeySocketType),
            readKey(settings, KeyServerAddress),
            readList(settings, KeyRecentAddresses),
            readSwitch(settings, KeyAutoReconnect),
            readBytes(settings, KeyTransferListGeometry),
            readWidths(settings, KeyTransferListColumns),
            readWord(settings, KeyLanguage, Languages),
            readWord(settings, KeyAppearance, Appearances),
            SendPace::parse(text(KeySendPace)),
            FileGap::parse(text(KeyFileGap)),
            readRule(settings, KeyExistingFiles)};
}

bool SettingsFile::write(const QString &filePath, const Values &values)
{
    QDir().mkpath(QFileInfo(filePath).absolutePath());
    QSettings settings(filePath, QSettings::IniFormat);
    useUtf8(settings);
    for (const char *key : {KeySaveFilePath, KeySocketType, KeyServerAddress, KeyRecentAddresses,
                            KeyAutoReconnect, KeyTransferListGeometry, KeyTransferListColumns,
                            KeySendPace, KeyFileGap, KeyLanguage, KeyAppearance, KeyExistingFiles})
        settings.remove(markedName(key));
    // A backslash starts an escape in a hand-edited INI value.
    std::optional<QString> folder = values.saveFilePath;
    if (folder)
        folder = QDir::fromNativeSeparators(*folder);
    writeKey(settings, KeySaveFilePath, folder);
    writeKey(settings, KeySocketType, values.socketType);
    writeKey(settings, KeyServerAddress, values.serverAddress);
    writeUnlessEmpty(settings, KeyRecentAddresses, values.recentAddresses);
    writeUnlessEmpty(settings, KeyTransferListGeometry, values.transferListGeometry);
    writeUnlessEmpty(settings, KeyTransferListColumns, textsOf(values.transferListColumns));
    // Defaults are not written, so a file at the default settings holds the
    // keys it always held.
    writeUnlessDefault(settings, KeyAutoReconnect, values.autoReconnect, false);
    writeUnlessDefault(settings, KeySendPace, values.sendPace, SendPace());
    writeUnlessDefault(settings, KeyFileGap, values.fileGap, 0);
    writeUnlessDefault(settings, KeyLanguage, values.language, QString::fromLatin1(Languages[0]));
    writeUnlessDefault(settings, KeyAppearance, values.appearance,
                       QString::fromLatin1(Appearances[0]));
    writeUnlessDefault(settings, KeyExistingFiles, values.existingFiles, ExistingFiles::Overwrite);
    settings.sync();
    return settings.status() == QSettings::NoError;
}
