#include "history/transferoutcome.h"

#include "transfer/transfercodes.h"

namespace {

QString word(const char *text)
{
    return QString::fromLatin1(text);
}

QString ofCut(TransferOutcome::Cut cut)
{
    switch (cut) {
    case TransferOutcome::Cut::PeerClosed:
        return word(TransferOutcome::ConnectionLost);
    case TransferOutcome::Cut::WaitEnded:
        return word(TransferOutcome::Incomplete);
    case TransferOutcome::Cut::Interrupted:
        return word(TransferOutcome::Interrupted);
    case TransferOutcome::Cut::Stall:
        break;
    }
    return word(TransferOutcome::Timeout);
}

} // namespace

QString TransferOutcome::ofSend(int code)
{
    switch (code) {
    case TransDone:
        return word(Done);
    case TransAborted:
        return word(Interrupted);
    case TransDisconnected:
        return word(ConnectionLost);
    case TransOpenFailed:
        return word(OpenFailed);
    case TransChanged:
        return word(ChangedDuringSend);
    default:
        return word(ReadFailed);
    }
}

QString TransferOutcome::ofReception(const Reception &reception)
{
    switch (reception.code) {
    case RecDone:
        // Without a digest the size is all that vouches for the file.
        if (reception.sizeMismatch)
            return word(SizeMismatch);
        return word(reception.identical ? SkippedIdentical : Done);
    case RecMd5Mismatch:
        return word(DigestMismatch);
    case RecTimeout:
        return ofCut(reception.cut);
    case RecCreateFailed:
        return word(reception.programFile ? ProgramFile : CreateFailed);
    default:
        // A stream that ran on far past its size was no longer that file.
        return word(reception.writeFailure == WriteFailure::PastAnnouncedSize ? SizeExceeded
                                                                              : WriteFailed);
    }
}
