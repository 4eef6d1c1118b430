#pragma once

#include "transfer/transferrate.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

// The rate and time left of a running transfer, beside its progress bar.
// Timed by the transfer's own clock, carried in its reports: reports that
// reach the window late and together still tell how fast the bytes moved.
// A transfer that stops reporting has stalled, and the rate falls to zero.
class RateLabel : public QLabel
{
public:
    explicit RateLabel(const QString &name, QWidget *parent = nullptr);

    void start(qint64 elapsedMs, quint64 bytesSoFar);
    void progress(qint64 elapsedMs, quint64 bytesSoFar, quint64 total);

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
