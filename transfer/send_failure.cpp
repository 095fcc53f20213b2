#include "transfer/send_failure.h"

SendFailure connect_failure(ConnectFailure why) {
    if (why == ConnectFailure::stopped) return SendFailure::aborted;
    return why == ConnectFailure::refused ? SendFailure::connection_refused : SendFailure::no_answer;
}

const char* failure_text(const Failure& failure) {
    switch (failure.kind) {
        case SendFailure::connection_refused:
            return "the connection was refused: nothing receives on that port, or a firewall refuses it";
        case SendFailure::no_answer:
            return "no answer from that address: the computer is off or away, or a firewall drops the connection";
        case SendFailure::handshake_failed:
            return "the handshake failed: the receiver has another secret, or none";
        case SendFailure::other_format:
            return "the receiver answered in another format";
        case SendFailure::refused:
            if (!failure.secure)
                return "the receiver did not acknowledge the file: it refused the name, could not store the file, "
                       "or has a secret";
            switch (failure.reason) {
                case REFUSED_NAME: return "the receiver refused the file's name";
                case REFUSED_NOT_STORED: return "the receiver could not store the file";
                case REFUSED_ABORTED: return "the receiving user aborted the file";
                default: return "the receiver refused the file";
            }
        case SendFailure::connection_lost:
            return failure.secure ? "the connection was lost, and every try to make it again failed"
                                  : "the connection was lost";
        case SendFailure::unreadable:
            return "the file can't be read, or its name can't be sent";
        case SendFailure::changed:
            return "the file became shorter while it was sent";
        case SendFailure::aborted:
            return "the send was aborted";
        case SendFailure::none:
            break;
    }
    return "";
}
