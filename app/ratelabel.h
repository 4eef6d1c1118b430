#pragma once

#include "transfer/transferrate.h"

#include <QLabel>

// The rate and time left of a running transfer, beside its progress bar.
// Timed by the transfer's own clock, carried in its reports: reports that
// reach the window late and together still tell how fast the bytes moved.
class RateLabel : public QLabel
{
public:
    explicit RateLabel(const QString &name, QWidget *parent = nullptr);

    void start(qint64 elapsedMs, quint64 bytesSoFar);
    void progress(qint64 elapsedMs, quint64 bytesSoFar, quint64 total);

private:
    TransferRate m_rate;
    qint64 m_drawnMs = 0;
};
