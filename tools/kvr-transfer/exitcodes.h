#pragma once

// The exit codes of kvr-transfer; scripts rely on them, never change one.
enum ExitCode : int {
    ExitOk = 0,
    ExitNoConnection = 1,
    ExitBadArguments = 2,
    ExitTransferFailed = 3,
    ExitDigestMismatch = 4,
    ExitConnectionLost = 5,
    ExitSomeTargetsFailed = 6, // of several controllers, some got every file and some not
    ExitInterrupted = 130,
};
