#pragma once

#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// The rate and time left of a running transfer, as text such as
// "12.3 MB/s 剩余 0:42". Timed by the transfer's own clock, carried in its
// reports: reports that arrive late and together still tell how fast the
// bytes moved. A transfer that stops reporting has stalled, and the rate
// falls to zero. GUI thread only.
class RateMeter : public QObject
{
    Q_OBJECT

public:
    explicit RateMeter(QObject *parent = nullptr);

    void start(qint64 elapsedMs, quint64 bytesSoFar);
    void progress(qint64 elapsedMs, quint64 bytesSoFar, quint64 total);
    void stop();

signals:
    // Empty at the start, until there is a rate worth reading.
    void textChanged(const QString &text);

private:
    void add(qint64 elapsedMs, quint64 bytesSoFar);
    void draw();
    void checkForStall();

    TransferRate m_rate;
    qint64 m_drawnMs = 0;
    qint64 m_lastMs = 0; // the transfer's time of the last sample
    quint64 m_lastBytes = 0;
    quint64 m_total = 0;
    QElapsedTimer m_sinceReport;
    QTimer m_stallTimer;
};
