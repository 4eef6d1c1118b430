#pragma once

#include <QByteArray>
#include <QString>

// The framing of one file on the wire:
//
//   startMarker name sizeMarker size sizeEndMarker
//   [md5Marker 32-hex-digest md5EndMarker] contents endMarker
//
// Markers are fixed UTF-8 texts without terminator or length. The name is
// the file's base name in UTF-8, the size its byte count in decimal ASCII.
// Nothing on the connection is ever acknowledged.
namespace Protocol {

// The controller listens here; the PC is always the client.
constexpr quint16 ControllerPort = 8080;

QString startMarkerText();
QString endMarkerText();
QString sizeMarkerText();
QString sizeEndMarkerText();
QString md5MarkerText();
QString md5EndMarkerText();

// The markers' UTF-8 bytes, as they appear on the wire.
const QByteArray &startMarker();
const QByteArray &endMarker();
const QByteArray &sizeMarker();
const QByteArray &sizeEndMarker();
const QByteArray &md5Marker();
const QByteArray &md5EndMarker();

constexpr int Md5HexLength = 32;

// The test greeting "你好!!" that CmdTest writes: 8 bytes of UTF-8.
QByteArray greeting();

// Header bytes (everything before the contents). An empty md5Hex leaves out
// the MD5 section, as some controllers do.
QByteArray buildHeader(const QString &fileName, quint64 fileSize, const QByteArray &md5Hex);

// The name sent for a path: everything after the last '/'.
QString fileNameOf(const QString &filePath);

// A name that holds the text of a marker would be misread by the peer.
bool holdsMarker(const QString &fileName);

enum class Platform { Unix, Windows };
// The longest name the common file systems take.
constexpr int MaxNameLength = 255;

// Reduces a received name to a safe base name for the receive directory:
// the name ends at the first zero byte, and only what follows the last '/'
// or '\\' counts. Returns an empty string when the rest is not a name the
// platform's file systems take as it is (empty, ".", "..", a drive letter,
// longer than 255 bytes, or on Windows a device name, a character such as
// ':' or '?', a trailing dot or space). Such names are refused rather than
// changed, so a file is never stored under a name the peer did not send.
QString safeFileName(const QByteArray &receivedName, Platform platform);
// The same for the platform this program runs on.
QString safeFileName(const QByteArray &receivedName);

// A size field counts only when it is 1 to 20 decimal digits that fit in
// 64 bits; anything else announces 0 and is not valid.
quint64 parseSize(const QByteArray &field, bool *valid = nullptr);

bool isMd5Hex(const QByteArray &text);

// How printable() shows control characters: as \xNN, so that a newline in a
// name or in raw data cannot fake a line, or as they are, for a log that
// shows a controller's line breaks.
enum class Controls { Escaped, Kept };

// Text off the wire for display, in every program: at most maxChars
// characters (no limit when negative), then "…".
QString printable(const QString &text, int maxChars = -1, Controls controls = Controls::Escaped);
// The same for raw bytes: up to the first zero byte, read as UTF-8. Only
// what the limit can show is decoded, so a flood costs no more than that.
QString printable(const QByteArray &raw, int maxChars = -1, Controls controls = Controls::Escaped);

} // namespace Protocol
