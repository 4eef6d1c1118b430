#pragma once

#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

class QIODevice;
class QJsonObject;

// One file's transfer, as the tool reports it.
struct FileEvent
{
    QString direction; // "send" or "receive"
    QString name;
    QString path;
    quint64 size = 0;      // the file's size, as announced
    quint64 bytes = 0;     // content bytes read, or stored
    quint64 wireBytes = 0; // markers included
    qint64 ms = 0;
    QString outcome; // "done", "digest-mismatch", "size-mismatch", "connection-lost", ...
    QString note;    // anything else the user must know, such as where the file lies
    int exitCode = 0;
};

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

    void fileStarted(const FileEvent &event);
    void progress(quint64 bytes, quint64 size);
    void fileEnded(const FileEvent &event);
    void rawData(const QByteArray &bytes);
    void connectionLost();
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
