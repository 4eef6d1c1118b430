// kvr-transfer-service: kvr-transfer's receive --reconnect as a Windows
// service, on the service API itself. Its settings and files are in
// %ProgramData%\kvr-file-transfer (ServiceConfig).
//
//   kvr-transfer-service            as the service manager starts it
//   kvr-transfer-service run        the same in this console, until Ctrl+C
//   kvr-transfer-service install    creates the service (the installer runs it)
//   kvr-transfer-service uninstall  stops and removes it

#include "command.h"
#include "exitcodes.h"
#include "interrupt.h"
#include "output.h"
#include "serviceconfig.h"
#include "winservice.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>

#include <cstdio>

namespace {

int receive(Output &output)
{
    const QStringList arguments = ServiceConfig::receiveArguments();
    const std::unique_ptr<Command> command = Commands::create(QStringLiteral("receive"));
    return command->execute(arguments, output);
}

// A service has no console: what kvr-transfer would print goes to the
// service's log, which the next start replaces.
int receiveAsService()
{
    QString error;
    const bool prepared = ServiceConfig::prepare(&error);
    QFile log(ServiceConfig::logFile());
    log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    Output output(&log, &log);
    if (prepared)
        return receive(output);
    output.error(error);
    return ExitBadArguments;
}

int fail(const QString &error)
{
    std::fprintf(stderr, "kvr-transfer-service: %s\n", qPrintable(error));
    return ExitBadArguments;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const QString verb = QCoreApplication::arguments().value(1);
    QString error;
    if (verb == QLatin1String("run")) {
        Interrupt::install();
        Output output;
        return ServiceConfig::prepare(&error) ? receive(output) : fail(error);
    }
    if (verb == QLatin1String("install"))
        return WinService::install(&error) ? ExitOk : fail(error);
    if (verb == QLatin1String("uninstall"))
        return WinService::uninstall(&error) ? ExitOk : fail(error);
    if (!verb.isEmpty())
        return fail(QStringLiteral("unknown command %1: run, install or uninstall").arg(verb));
    int exitCode = ExitOk;
    if (!WinService::run(receiveAsService, &exitCode, &error))
        return fail(error);
    return exitCode;
}
