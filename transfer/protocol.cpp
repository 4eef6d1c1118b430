#include "transfer/protocol.h"

namespace Protocol {

QString startMarkerText()
{
    return QStringLiteral("开始传送___:::");
}
QString endMarkerText()
{
    return QStringLiteral("结束传送___:::");
}
QString sizeMarkerText()
{
    return QStringLiteral("文件大小___:::");
}
QString sizeEndMarkerText()
{
    return QStringLiteral("文件大小传送结束___:::");
}
QString md5MarkerText()
{
    return QStringLiteral("文件MD5___:::");
}
QString md5EndMarkerText()
{
    return QStringLiteral("文件MD5传送结束___:::");
}

// Function-local statics: built once, thread-safely, and shared read-only.
const QByteArray &startMarker()
{
    static const QByteArray bytes = startMarkerText().toUtf8();
    return bytes;
}

const QByteArray &endMarker()
{
    static const QByteArray bytes = endMarkerText().toUtf8();
    return bytes;
}

const QByteArray &sizeMarker()
{
    static const QByteArray bytes = sizeMarkerText().toUtf8();
    return bytes;
}

const QByteArray &sizeEndMarker()
{
    static const QByteArray bytes = sizeEndMarkerText().toUtf8();
    return bytes;
}

const QByteArray &md5Marker()
{
    static const QByteArray bytes = md5MarkerText().toUtf8();
    return bytes;
}

const QByteArray &md5EndMarker()
{
    static const QByteArray bytes = md5EndMarkerText().toUtf8();
    return bytes;
}

QByteArray greeting()
{
    return QStringLiteral("你好!!").toUtf8();
}

QByteArray buildHeader(const QString &fileName, quint64 fileSize, const QByteArray &md5Hex)
{
    QByteArray header;
    header.reserve(160 + fileName.size() * 3);
    header += startMarker();
    header += fileName.toUtf8();
    header += sizeMarker();
    header += QByteArray::number(fileSize, 10);
    header += sizeEndMarker();
    if (!md5Hex.isEmpty()) {
        header += md5Marker();
        header += md5Hex;
        header += md5EndMarker();
    }
    return header;
}

QString fileNameOf(const QString &filePath)
{
    return filePath.mid(filePath.lastIndexOf(QLatin1Char('/')) + 1);
}

bool holdsMarker(const QString &fileName)
{
    for (const QString &marker : {startMarkerText(), endMarkerText(), sizeMarkerText(),
                                  sizeEndMarkerText(), md5MarkerText(), md5EndMarkerText()}) {
        if (fileName.contains(marker))
            return true;
    }
    return false;
}

static bool namesDrive(const QString &name)
{
    return name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter() &&
           name.at(0).unicode() < 128;
}

// Windows opens a device for these, whatever the extension or case.
static bool namesWindowsDevice(const QString &name)
{
    QString base = name.left(name.indexOf(QLatin1Char('.'))).toUpper();
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    if (base == QLatin1String("CON") || base == QLatin1String("PRN") ||
        base == QLatin1String("AUX") || base == QLatin1String("NUL"))
        return true;
    const bool numbered =
        base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"));
    return numbered && base.size() == 4 &&
           QStringLiteral("123456789\u00b9\u00b2\u00b3").contains(base.at(3));
}

static bool fitsWindows(const QString &name)
{
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c))
            return false;
    }
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return false;
    return name.size() <= MaxNameLength && !namesWindowsDevice(name);
}

QString safeFileName(const QByteArray &receivedName, Platform platform)
{
    const int nul = receivedName.indexOf('\0');
    const QString full = QString::fromUtf8(nul < 0 ? receivedName : receivedName.left(nul));
    const int cut = qMax(full.lastIndexOf(QLatin1Char('/')), full.lastIndexOf(QLatin1Char('\\')));
    const QString name = full.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        namesDrive(name))
        return QString();
    // Unix counts bytes, Windows UTF-16 units.
    const bool fits =
        platform == Platform::Windows ? fitsWindows(name) : name.toUtf8().size() <= MaxNameLength;
    return fits ? name : QString();
}

QString safeFileName(const QByteArray &receivedName)
{
#ifdef Q_OS_WIN
    return safeFileName(receivedName, Platform::Windows);
#else
    return safeFileName(receivedName, Platform::Unix);
#endif
}

quint64 parseSize(const QByteArray &field, bool *valid)
{
    bool ok = false;
    const quint64 size = field.toULongLong(&ok, 10);
    bool digitsOnly = !field.isEmpty() && field.size() <= 20;
    for (char c : field)
        digitsOnly = digitsOnly && c >= '0' && c <= '9';
    if (valid)
        *valid = ok && digitsOnly;
    return ok ? size : 0;
}

bool isMd5Hex(const QByteArray &text)
{
    if (text.size() != Md5HexLength)
        return false;
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

QString printable(const QString &text, int maxChars, Controls controls)
{
    QString shown = text;
    if (maxChars >= 0 && shown.size() > maxChars) {
        int length = maxChars;
        if (length > 0 && shown.at(length - 1).isHighSurrogate())
            --length;
        shown = shown.left(length) + QChar(0x2026);
    }
    if (controls == Controls::Kept)
        return shown;
    QString result;
    result.reserve(shown.size());
    for (const QChar c : qAsConst(shown)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            result += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return result;
}

QString printable(const QByteArray &raw, int maxChars, Controls controls)
{
    const int nul = raw.indexOf('\0');
    int length = nul < 0 ? raw.size() : nul;
    // A UTF-16 unit takes at most 4 bytes, so this still shows a cut.
    if (maxChars >= 0)
        length = qMin(length, 4 * (maxChars + 1));
    return printable(QString::fromUtf8(raw.constData(), length), maxChars, controls);
}

} // namespace Protocol
