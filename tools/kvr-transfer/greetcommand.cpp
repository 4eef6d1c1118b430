#include "greetcommand.h"

#include "session.h"

GreetCommand::GreetCommand() : Command("greet", "send the test greeting", "to") {}

int GreetCommand::run(Session &session)
{
    return session.greet();
}
