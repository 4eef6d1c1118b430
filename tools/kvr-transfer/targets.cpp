#include "targets.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>

namespace {

// A name as DNS and the hosts file take it.
bool isHostName(const QString &host)
{
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9_-]*[A-Za-z0-9])?"
                       "(\\.[A-Za-z0-9]([A-Za-z0-9_-]*[A-Za-z0-9])?)*$"));
    return name.match(host).hasMatch();
}

// The same controller written two ways ("LocalHost", "127.000.000.001")
// compares equal.
QString comparable(const QString &host)
{
    const QHostAddress address(host);
    return address.isNull() ? host.toLower() : address.toString();
}

} // namespace

QString Target::address() const
{
    const QString shown =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shown + QLatin1Char(':') + QString::number(port);
}

QString Target::named() const
{
    return label.isEmpty() ? address() : address() + QLatin1Char(' ') + label;
}

bool TargetList::addFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(path, file.errorString());
    return addText(QString::fromUtf8(file.readAll()), path);
}

bool TargetList::addText(const QString &text, const QString &source)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int at = 0; at < lines.size(); ++at) {
        const QString entry = lines[at].section(QLatin1Char('#'), 0, 0).trimmed();
        if (!entry.isEmpty() && !add(entry, source + QLatin1Char(':') + QString::number(at + 1)))
            return false;
    }
    return true;
}

bool TargetList::add(const QString &entry, const QString &where)
{
    const QString trimmed = entry.trimmed();
    const int space = int(trimmed.indexOf(QRegularExpression(QStringLiteral("\\s"))));
    const QString address = space < 0 ? trimmed : trimmed.left(space);
    Target target{address, m_defaultPort, space < 0 ? QString() : trimmed.mid(space).trimmed()};
    // host:port, [IPv6]:port, or a bare IPv6 address, which has colons of
    // its own.
    QString port;
    static const QRegularExpression bracketed(QStringLiteral("^\\[([^\\]]+)\\](?::(.*))?$"));
    const QRegularExpressionMatch match = bracketed.match(address);
    if (match.hasMatch()) {
        target.host = match.captured(1);
        port = match.captured(2);
    } else if (address.count(QLatin1Char(':')) == 1) {
        target.host = address.section(QLatin1Char(':'), 0, 0);
        port = address.section(QLatin1Char(':'), 1);
        if (port.isEmpty())
            return fail(where, QStringLiteral("no port after the colon in %1").arg(address));
    }
    const bool ipv6 = target.host.contains(QLatin1Char(':'));
    if (ipv6 ? QHostAddress(target.host).isNull() : !isHostName(target.host))
        return fail(where, QStringLiteral("%1 is not a host name or an IP address").arg(address));
    if (!port.isEmpty()) {
        bool ok = false;
        const uint number = port.toUInt(&ok);
        if (!ok || number < 1 || number > 65535)
            return fail(where, QStringLiteral("port %1 is not from 1 to 65535").arg(port));
        target.port = quint16(number);
    }
    const QString key = comparable(target.host) + QLatin1Char(' ') + QString::number(target.port);
    if (m_seen.contains(key))
        return fail(
            where,
            QStringLiteral("%1 is there already, at %2").arg(target.address(), m_seen.value(key)));
    m_seen.insert(key, where);
    m_targets.append(target);
    return true;
}

bool TargetList::fail(const QString &where, const QString &why)
{
    m_error = where + QStringLiteral(": ") + why;
    return false;
}
