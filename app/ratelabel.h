#pragma once

#include <QLabel>

// The rate and time left of a running transfer, beside its progress bar
// (the text comes from the session's RateMeter).
class RateLabel : public QLabel
{
public:
    explicit RateLabel(const QString &name, QWidget *parent = nullptr);

    void showRate(const QString &text);
};
