#pragma once

#include "command.h"

// greet: the test greeting, as the window's "测试连接" sends it.
class GreetCommand : public Command
{
public:
    GreetCommand();

private:
    int run(Session &session) override;
};
