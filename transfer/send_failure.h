// Why a send failed, carried as a value from where it happens to where it
// is shown: the desktop program's messages stay as they are, the console
// peer adds a line with the reason.
#pragma once

#include "net/socket.h"
#include "transfer/secure/secure_wire.h"

enum class SendFailure {
    none,
    connection_refused,  // nothing listens there, or a firewall said no
    no_answer,           // the address did not answer within the system's time
    handshake_failed,    // the peer has another secret, or none
    other_format,        // the peer answered with what this format never sends
    refused,             // by the receiver: in the secure format with its reason
    connection_lost,     // and, in the secure format, every try to make it again
    unreadable,          // the file can't be read, or no receiver takes its name
    changed,             // the file shrank while it was read
    aborted,             // "abort send": nothing is shown
};

struct Failure {
    SendFailure kind = SendFailure::none;
    RefusalReason reason = REFUSED_OTHER;  // of a refusal in the secure format
    bool secure = false;                   // the format it happened in
};

// What a connection that could not be made means to a send.
SendFailure connect_failure(ConnectFailure why);
// The reason in plain words.
const char* failure_text(const Failure& failure);
