// Blocking IPv4 TCP operations with plain results, the same on Winsock 1.1
// and BSD sockets. Failures are reported through results only.
#pragma once

#include <atomic>
#include <cstdint>

#include "text/text.h"

// An IPv4 address: a leading byte nobody reads, then a.b.c.d in written
// (network) order. 0.0.0.0 means "no address".
struct IpAddress {
    std::uint8_t unused = 0;
    std::uint8_t octets[4] = {0, 0, 0, 0};
};

inline bool same_octets(const IpAddress& a, const IpAddress& b) {
    return a.octets[0] == b.octets[0] && a.octets[1] == b.octets[1] &&
           a.octets[2] == b.octets[2] && a.octets[3] == b.octets[3];
}

// The system's socket handle as an unsigned 32-bit value.
using SocketHandle = std::uint32_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = 0xFFFFFFFFu;

// True once start_sockets has brought the socket interface up.
extern std::atomic<bool> network_ready;

void start_sockets();
void stop_sockets();

// Dotted text to address; fails on a number above 255, a missing "." or
// anything left over. An empty number counts as 0.
bool parse_address(const Text& text, IpAddress& address);
Text address_to_text(const IpAddress& address);

// Forward lookup (retried once): fills address and returns its dotted text,
// or returns empty text and leaves address unchanged.
Text resolve_host(const Text& name, IpAddress& address);
// Reverse lookup (retried once): the official host name, or empty text.
Text reverse_lookup(const IpAddress& address);
// True when the forward lookup of name (retried once) gives address among
// its addresses.
bool host_has_address(const Text& name, const IpAddress& address);

// Listens on any local address; ports use their low 16 bits. The backlog
// is the system's largest unless given: a burst of connections then waits
// for the listener instead of being reset. On Windows no other program
// may bind the port beside it, and a port still held by the closing
// connections of an earlier run is tried again for a few seconds.
constexpr std::int32_t LARGEST_BACKLOG = -1;
bool listen_on(std::int32_t port, SocketHandle& listening, std::int32_t backlog = LARGEST_BACKLOG);
bool accept_peer(SocketHandle listening, SocketHandle& peer_socket, IpAddress& peer);
// Why a connection could not be made: nothing listens there (or a firewall
// said no), nothing answered within the system's time, or the stop flag.
enum class ConnectFailure { none, refused, no_answer, stopped };
// Connects within the system's own time limit. A set stop flag (looked at
// every 100 ms) ends the attempt at once as a failure, so that an abort
// need not wait for a silent address to time out. why, where given, tells
// a failure's kind.
bool connect_to(const IpAddress& address, std::int32_t port, SocketHandle& connected,
                const std::atomic<bool>* stop = nullptr, ConnectFailure* why = nullptr);
void close_socket(SocketHandle socket);
// Ends both directions of a connection without closing the handle: a send
// or receive waiting on it returns at once with a failure or 0.
void interrupt_socket(SocketHandle socket);

// Ends the sending direction only: the peer reads the end of the stream,
// and what it still sends can be read.
void shutdown_sending(SocketHandle socket);
// Sends each write at once instead of holding small ones back until the
// peer acknowledges earlier data.
bool set_no_delay(SocketHandle socket);
// Waits up to milliseconds (0: not at all) for bytes, the end of the
// stream or an error to be there to receive; true when one is.
bool socket_readable(SocketHandle socket, std::int32_t milliseconds);
// How many received bytes wait to be read, without waiting; 0 also at the
// end of the stream, -1 when the socket can't tell. Cheaper than a wait of
// 0 ms under Wine, where that is a round trip to its server.
std::int32_t socket_bytes_waiting(SocketHandle socket);

// Sends every byte; fails on an error or on the third idle round in a row.
bool send_all(SocketHandle socket, const void* buffer, std::int32_t count);
// One receive call: bytes received, 0 when the peer closed, negative on error.
std::int32_t recv_some(SocketHandle socket, void* buffer, std::int32_t count);
// Receives exactly count bytes, or fails when the peer closes or errs first.
bool recv_exact(SocketHandle socket, void* buffer, std::int32_t count);
// The same within a time budget for all its calls together: deadline is
// a time of monotonic_ms(). The socket's idle limit is left at what
// remained; set it again afterwards.
bool recv_exact_before(SocketHandle socket, void* buffer, std::int32_t count, std::int64_t deadline);
// Milliseconds of a clock that never goes back.
std::int64_t monotonic_ms();

// Bounds how long one send or receive may wait for the peer; a wait that
// runs out fails like a broken connection. 0 waits without bound.
bool set_idle_limit(SocketHandle socket, std::int32_t milliseconds);

// The local port a socket is bound to (0 when unknown); lets tests listen
// on a port the system picks.
std::int32_t local_port(SocketHandle socket);
