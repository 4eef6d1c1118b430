#include "settings/language.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTranslator>

// Outside any namespace, as the resource's registration must be.
static void registerTranslations()
{
    Q_INIT_RESOURCE(translations);
}

namespace {

QPointer<QTranslator> &installed()
{
    static QPointer<QTranslator> translator;
    return translator;
}

QString &currentCode()
{
    static QString code = QLatin1String(Language::Chinese);
    return code;
}

} // namespace

QString Language::choose(const std::optional<QString> &fromCommandLine,
                         const std::optional<QString> &stored)
{
    return fromCommandLine.value_or(stored.value_or(QLatin1String(Chinese)));
}

bool Language::install(const QString &code)
{
    registerTranslations();
    delete installed().data();
    currentCode() = QLatin1String(Chinese);
    if (code == QLatin1String(Chinese))
        return true;
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral(":/i18n/kvr-file-transfer_") + code)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed() = translator;
    currentCode() = code;
    return true;
}

QString Language::current()
{
    return currentCode();
}
