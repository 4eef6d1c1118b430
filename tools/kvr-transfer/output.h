#pragma once

#include "history/transferrecord.h"
#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

class QIODevice;
class QJsonObject;

// Everything kvr-transfer tells its user: a line per event on stdout, or a
// JSON object per line with --json; a progress line redrawn in place while
// stdout is a terminal; raw data and errors on stderr.
class Output
{
public:
    // The process's stdout and stderr: a Windows console takes the text as
    // UTF-16, anything else as UTF-8.
    Output();
    // Two devices in their place, as UTF-8 and without a progress line: for
    // a command run inside another program, such as a test.
    Output(QIODevice *out, QIODevice *err);

    // One JSON object per line from here on.
    void setJson(bool json);

    // size: as announced.
    void fileStarted(TransferRecord::Direction direction, const QString &name, const QString &path,
                     quint64 size);
    void progress(quint64 bytes, quint64 size);
    void fileEnded(const TransferRecord &record, int exitCode);
    void rawData(const QByteArray &bytes);
    void connectionLost();
    // receive --reconnect: a connection made, and the retries begun.
    void connected(const QString &host, quint16 port);
    void reconnecting(const QString &host, quint16 port);
    void greetingSent(const QString &peer);
    void finished(int exitCode, int files, int failed);
    void error(const QString &message);

private:
    // stdout or stderr, or the device that stands in for it.
    struct Stream
    {
        FILE *file = nullptr;
        QIODevice *device = nullptr;
    };

    void print(const Stream &stream, const QString &text);
    void printJson(const QJsonObject &object);
    void clearProgress();
    void tellLink(const QString &event, const QString &text, const QString &host, quint16 port);

    const Stream m_out;
    const Stream m_err;
    const bool m_terminal;
    bool m_json = false;
    QString m_name;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = -1;
    int m_lineLength = 0;
    TransferRate m_rate;
};
