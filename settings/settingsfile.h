#pragma once

#include "settings/existingfiles.h"
#include "settings/sendpace.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <optional>

// settings.ini: where it is, and what it holds, for every program that
// shares it (the window writes it; the command line reads it too).
namespace SettingsFile {

constexpr char FileName[] = "settings.ini";

// Keys of settings.ini.
constexpr char KeySaveFilePath[] = "saveFilePath";
constexpr char KeyServerAddress[] = "serverAddress";
constexpr char KeySocketType[] = "socketType";
constexpr char KeyRecentAddresses[] = "recentAddresses";
constexpr char KeyAutoReconnect[] = "autoReconnect";
constexpr char KeyTransferListGeometry[] = "transferListGeometry";
constexpr char KeyTransferListColumns[] = "transferListColumns";
constexpr char KeyLanguage[] = "language";
constexpr char KeyAppearance[] = "appearance";

// The words the window's language and look are kept as; the first of each
// is the default, which no key means.
constexpr const char *Languages[] = {"zh_CN", "en"};
constexpr const char *Appearances[] = {"light", "dark", "system"};

// Whether value is one of words, exactly.
template <std::size_t N> bool isOneOf(const QString &value, const char *const (&words)[N])
{
    for (const char *word : words) {
        if (value == QLatin1String(word))
            return true;
    }
    return false;
}
constexpr char KeySendPace[] = "sendPace";
constexpr char KeyFileGap[] = "fileGap";
constexpr char KeyExistingFiles[] = "existingFiles";

// A file beside the executable that makes a copy portable, as the zip ships.
constexpr char PortableMarker[] = "portable.txt";

// A copy is portable (a zip, a build folder) when settings.ini or the marker
// already lies beside the executable. Being able to write there proves
// nothing: root can write into /usr/bin.
bool isPortable(const QString &programDir);

// Beside the executable for a portable copy; otherwise the user's own file,
// in a folder named after the application: callers set the application name
// first.
QString path(const QString &programDir);

// Where an installed copy receives until told otherwise: a folder of the
// tool's own in the user's downloads, or in the home folder without one.
// Never the home folder itself, where a received ".bashrc" would land.
QString userReceiveFolder();
// Where a copy receives without a folder of the user's: a portable copy
// beside itself, an installed one into userReceiveFolder(), made now so
// that the first file finds it.
QString defaultReceiveFolder(bool installed);
// The folder chosen; left empty, an installed copy would receive into the
// program's folder (root's /usr/bin): its own folder stands in.
QString receiveFolder(const QString &chosen, bool installed);

// What the file holds. A key that is missing stays unset, so that each
// reader decides what it falls back on.
struct Values
{
    std::optional<QString> saveFilePath;
    std::optional<QString> socketType;
    std::optional<QString> serverAddress;
    // Cleaned by RecentAddresses; a value that is not a list of texts is
    // left unset. Written empty, the key goes.
    std::optional<QStringList> recentAddresses;
    // "true" or "false", as written; anything else is left unset.
    std::optional<bool> autoReconnect;
    // The transfer list's window as the toolkit saves a window's place and
    // size; a value that is not bytes is left unset. Written empty, the key
    // goes.
    std::optional<QByteArray> transferListGeometry;
    // Its column widths in pixels; a list with a width that is not a whole
    // number from 1 to MaxColumnWidth is left unset. Written empty, the key
    // goes.
    std::optional<QList<int>> transferListColumns;
    // One of Languages and one of Appearances; a word it does not know is
    // left unset. Written as the default, the key goes.
    std::optional<QString> language;
    std::optional<QString> appearance;
    // "paced", "full" or a cap in MB/s, as SendPace reads it; the pause
    // between the files of a queue in ms, from 0 to FileGap::MaxMs. Anything
    // else is left unset. Written at the default (paced, 0), the key goes.
    std::optional<SendPace> sendPace;
    std::optional<int> fileGap;
    // What a verified file does to one of its name already there
    // (ExistingFilesRule's words); a word it does not know is left unset.
    // Overwrite is the default, and is not written.
    std::optional<ExistingFiles> existingFiles;
};

constexpr int MaxColumnWidth = 10000;

// A missing or unreadable file reads as all unset.
Values read(const QString &filePath);
// Writes the values that are set, creating the folder; false when the file
// could not be written.
bool write(const QString &filePath, const Values &values);

} // namespace SettingsFile
