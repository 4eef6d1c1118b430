#include "app/ratelabel.h"

RateLabel::RateLabel(const QString &name, QWidget *parent) : QLabel(parent)
{
    setObjectName(name);
}

void RateLabel::showRate(const QString &text)
{
    setText(text);
    // Only ever wider: a status bar that shifts with every digit is hard to read.
    if (!text.isEmpty())
        setMinimumWidth(qMax(minimumWidth(), sizeHint().width()));
}
