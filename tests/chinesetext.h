#pragma once

#include <QRegularExpression>
#include <QString>

// Whether a text holds a Chinese character or Chinese punctuation: in
// English, any is a text the translation left out.
inline bool holdsChinese(const QString &text)
{
    static const QRegularExpression chinese(
        QStringLiteral("[\\x{3000}-\\x{303f}\\x{4e00}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));
    return text.contains(chinese);
}
