#pragma once

// Codes the transfer engine reports. They travel as plain ints in queued
// signals; receivers ignore values they do not know, so new codes may be
// added but existing values never change.

// Transfer states of a send: FileSender, re-emitted by sendThread::sendTransState(int).
// There is deliberately no 13.
enum TransState : int {
    TransStarted = 10,
    TransDone = 11,
    TransProgress = 12,
    TransAborted = 14,
    TransDisconnected = 15,
    TransOpenFailed = 16,
    TransReadFailed = 17, // the file could not be read to its end
    TransChanged = 18,    // the contents sent differ from those hashed for the header
};

// Receive states: receiveThread::sendRecState(int), re-emitted by the worker.
enum RecState : int {
    RecDone = 0,
    RecStarted = 1,
    RecProgress = 2,
    RecCreateFailed = 3,
    RecTimeout = 4,
    RecRawData = 5,
    RecMd5Mismatch = 6, // contents differ from the announced digest
    RecWriteFailed = 7, // the target file could not be written
};

// Why a reception ended with RecWriteFailed; it travels with the code.
enum class WriteFailure : int {
    None,
    Disk,              // the disk refused a write or the rename
    PastAnnouncedSize, // ran on past the size announced, beyond a margin, without an end marker
    FreeSpace,         // would have taken the disk's last free space
};

// What a verified file (RecDone) met under its name, and what the rule for
// existing files (ExistingFiles) made of it.
enum class ExistingFile : int {
    None,               // no file of that name, or one that could not be replaced
    Replaced,           // the older file was replaced
    KeptBoth,           // the new file went under a free name beside it
    Identical,          // the older file has the same digest: the new copy was dropped
    KeptBothUnverified, // would be dropped if identical, but no digest could tell
};

// A send's last code: every one but its start and its progress.
constexpr bool endsSend(int code)
{
    return code != TransStarted && code != TransProgress;
}

// A reception's last code. Controller text is none: it comes between files.
constexpr bool endsReception(int code)
{
    return code != RecStarted && code != RecProgress && code != RecRawData;
}
