#pragma once

// Codes between the window and the network worker. The transfer and receive
// codes belong to the engine below and are included from there. Like those,
// they travel as plain ints and existing values never change.

#include "transfer/transfercodes.h"

// Commands: MainWindow::handleCmd(int) -> sendThread::handleCmd(int).
enum CmdType : int {
    CmdConnect = 2,
    CmdDisconnect = 3,
    CmdTest = 4,
    CmdSendFile = 5,
    // Ends the reception under way, which cannot go on mid-file, by closing
    // the connection; its partial file goes.
    CmdStopReception = 7,
};

// Which connection a transfer is tied to: sendThread::sendLink / recvLink.
enum LinkType : int {
    LinkClient = 21,
    LinkNone = 22,
};
