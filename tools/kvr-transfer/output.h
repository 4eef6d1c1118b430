#pragma once

#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QString>

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
    explicit Output(bool json);

    void fileStarted(const FileEvent &event);
    void progress(quint64 bytes, quint64 size);
    void fileEnded(const FileEvent &event);
    void rawData(const QByteArray &bytes);
    void connectionLost();
    void greetingSent(const QString &peer);
    void finished(int exitCode, int files, int failed);

    static void error(const QString &message);

private:
    void clearProgress();

    const bool m_json;
    const bool m_progress;
    QString m_name;
    QElapsedTimer m_clock;
    qint64 m_lastDrawMs = -1;
    int m_lineLength = 0;
    TransferRate m_rate;
};
