#pragma once

#include <QHash>
#include <QList>
#include <QString>

// One controller of several that a send goes to.
struct Target
{
    QString host;
    quint16 port = 0;
    QString label; // what the user calls it, such as its place on the line

    // host:port, an IPv6 address in brackets.
    QString address() const;
    // The address and the label after it.
    QString named() const;
};

// The controllers of a run, from a targets file (one a line: host or
// host:port, then a label; '#' starts a comment) and from --to. Every
// entry is checked before anything is sent: a wrong controller on a
// production line is worse than a run that does not start.
class TargetList
{
public:
    explicit TargetList(quint16 defaultPort) : m_defaultPort(defaultPort) {}

    // A targets file's text; source names it in errors, with the line.
    bool addText(const QString &text, const QString &source);
    bool addFile(const QString &path);
    // One entry, "host[:port] [label]"; where names it in the error.
    bool add(const QString &entry, const QString &where);

    const QList<Target> &targets() const { return m_targets; }
    // Why the last add failed: "where: why".
    const QString &error() const { return m_error; }

private:
    bool fail(const QString &where, const QString &why);

    const quint16 m_defaultPort;
    QList<Target> m_targets;
    QHash<QString, QString> m_seen; // host:port, as compared, to where it came from
    QString m_error;
};
