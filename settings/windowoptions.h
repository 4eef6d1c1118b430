#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the window's command line may choose for this run only, over
// settings.ini: --lang zh_CN|en and --appearance light|dark|system (also
// as --lang=en). Other arguments are left to the toolkit.
struct WindowOptions
{
    std::optional<QString> language;
    std::optional<QString> appearance;
    // The first value it does not know, said in one line; that option
    // stays unset.
    QString error;

    static WindowOptions parse(const QStringList &arguments);
};
