// kvr-transfer: sends files to a KVR controller and receives files from it
// on the command line, with the window's sender, receive engine and
// settings. The commands are in the library kvrcli; this only starts one.

#include "command.h"
#include "interrupt.h"
#include "output.h"

#include <QCoreApplication>
#include <QLoggingCategory>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The window's name: it names the per-user folder of the settings shared
    // with it.
    QCoreApplication::setApplicationName(QStringLiteral("kvr-file-transfer"));
    // The sender logs each file's digest at debug level; stdout is for events.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    Interrupt::install();

    const QStringList arguments = QCoreApplication::arguments();
    Output output;
    if (const std::unique_ptr<Command> command = Commands::create(Commands::nameIn(arguments)))
        return command->execute(arguments, output);
    return Commands::executeNone(arguments, output);
}
