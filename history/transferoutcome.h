#pragma once

#include "transfer/transfercodes.h"

#include <QString>

// What became of one file, as a word: kvr-transfer's JSON "outcome" and the
// history's result. Scripts and spreadsheets match these words: never
// change one.
namespace TransferOutcome {

constexpr char Done[] = "done";
// Verified, and the same as the file of its name already there, which stays.
constexpr char SkippedIdentical[] = "skipped-identical";
constexpr char DigestMismatch[] = "digest-mismatch";
constexpr char SizeMismatch[] = "size-mismatch";
constexpr char ConnectionLost[] = "connection-lost";
constexpr char Interrupted[] = "interrupted";
constexpr char Incomplete[] = "incomplete";
constexpr char Timeout[] = "timeout";
constexpr char OpenFailed[] = "open-failed";
constexpr char ChangedDuringSend[] = "changed-during-send";
constexpr char ReadFailed[] = "read-failed";
constexpr char ProgramFile[] = "program-file";
constexpr char CreateFailed[] = "create-failed";
constexpr char SizeExceeded[] = "size-exceeded";
constexpr char WriteFailed[] = "write-failed";

// The end code of a send (FileSender).
QString ofSend(int code);

// Why an open reception ended without its end marker.
enum class Cut {
    Stall,      // the controller went quiet
    PeerClosed, // the connection was lost
    WaitEnded,  // the receiver stopped waiting (kvr-transfer's --count, --idle)
    Interrupted,
};

// The end code of a reception (FileReceiver), with what the code alone
// does not tell.
struct Reception
{
    int code = -1;
    bool sizeMismatch = false; // RecDone without a digest, in another size than announced
    bool programFile = false;  // RecCreateFailed for one of the program's own files
    Cut cut = Cut::Stall;      // RecTimeout
    WriteFailure writeFailure = WriteFailure::None; // RecWriteFailed
    bool identical = false; // RecDone dropped as the same as the file already there
};
QString ofReception(const Reception &reception);

} // namespace TransferOutcome
