// Socket layer over Windows Sockets 1.1 (wsock32).
#include <windows.h>
#include <winsock.h>

#include <cstring>

#include "net/socket.h"

std::atomic<bool> network_ready{false};

namespace {

sockaddr_in socket_address(const IpAddress& address, std::int32_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    std::memcpy(&sa.sin_addr, address.octets, 4);
    return sa;
}

SOCKET to_socket(SocketHandle socket) { return static_cast<SOCKET>(socket); }

SocketHandle to_handle(SOCKET socket) {
    return socket == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(socket);
}

}  // namespace

void start_sockets() {
    WSADATA data;
    network_ready = WSAStartup(0x0101, &data) == 0;
}

void stop_sockets() {
    if (network_ready) {
        WSACleanup();
        network_ready = false;
    }
}

Text resolve_host(const Text& name, IpAddress& address) {
    if (name.empty()) return {};
    auto zname = name.platform();
    hostent* entry = gethostbyname(zname.c_str());
    if (!entry) entry = gethostbyname(zname.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0])
        return {};
    std::memcpy(address.octets, entry->h_addr_list[0], 4);
    return address_to_text(address);
}

Text reverse_lookup(const IpAddress& address) {
    const char* octets = reinterpret_cast<const char*>(address.octets);
    hostent* entry = gethostbyaddr(octets, 4, AF_INET);
    if (!entry) entry = gethostbyaddr(octets, 4, AF_INET);
    if (!entry || !entry->h_name) return {};
    return Text(entry->h_name);
}

bool host_has_address(const Text& name, const IpAddress& address) {
    if (name.empty()) return false;
    auto zname = name.platform();
    hostent* entry = gethostbyname(zname.c_str());
    if (!entry) entry = gethostbyname(zname.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list) return false;
    for (char** a = entry->h_addr_list; *a; ++a)
        if (std::memcmp(*a, address.octets, 4) == 0) return true;
    return false;
}

namespace {

// Winsock 2's names, which Winsock 1.1's header lacks: the port is this
// socket's alone, and the provider's largest backlog.
constexpr int EXCLUSIVE_ADDRESS_USE = ~SO_REUSEADDR;
constexpr int PROVIDER_MAX_BACKLOG = 0x7FFFFFFF;
constexpr int BIND_TRIES = 12;
constexpr DWORD BIND_PAUSE_MS = 250;

}  // namespace

bool listen_on(std::int32_t port, SocketHandle& listening, std::int32_t backlog) {
    listening = INVALID_SOCKET_HANDLE;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return false;
    // Never SO_REUSEADDR: on Windows it would let another program bind the
    // same port and take our connections; exclusive use keeps them out.
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, EXCLUSIVE_ADDRESS_USE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in sa = socket_address(IpAddress{}, port);
    bool bound = false;
    for (int tries = 0; !bound && tries < BIND_TRIES; ++tries) {
        bound = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        if (!bound && (WSAGetLastError() != WSAEADDRINUSE || tries + 1 == BIND_TRIES)) break;
        if (!bound) Sleep(BIND_PAUSE_MS);
    }
    if (!bound || listen(s, backlog == LARGEST_BACKLOG ? PROVIDER_MAX_BACKLOG : backlog) != 0) {
        closesocket(s);
        return false;
    }
    listening = to_handle(s);
    return true;
}

bool accept_peer(SocketHandle listening, SocketHandle& peer_socket, IpAddress& peer) {
    char buffer[129] = {};
    int length = sizeof buffer;
    SOCKET s = accept(to_socket(listening), reinterpret_cast<sockaddr*>(buffer), &length);
    peer_socket = to_handle(s);
    if (s == INVALID_SOCKET) return false;
    if (length >= 8) std::memcpy(peer.octets, buffer + 4, 4);
    return true;
}

namespace {

bool set_blocking(SOCKET s, bool blocking) {
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &non_blocking) == 0;
}

// Waits for a connection begun without blocking to be made or to fail.
ConnectFailure connection_made(SOCKET s, const std::atomic<bool>* stop) {
    for (;;) {
        if (stop && stop->load()) return ConnectFailure::stopped;
        fd_set made, failed;
        FD_ZERO(&made);
        FD_ZERO(&failed);
        FD_SET(s, &made);
        FD_SET(s, &failed);
        timeval wait{0, 100 * 1000};
        int ready = select(0, nullptr, &made, &failed, &wait);
        if (ready < 0) return ConnectFailure::no_answer;
        if (ready == 0) continue;
        int error = 0;
        int length = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            return ConnectFailure::no_answer;
        if (FD_ISSET(s, &made) && error == 0) return ConnectFailure::none;
        return error == WSAECONNREFUSED ? ConnectFailure::refused : ConnectFailure::no_answer;
    }
}

}  // namespace

bool connect_to(const IpAddress& address, std::int32_t port, SocketHandle& connected,
                const std::atomic<bool>* stop, ConnectFailure* why) {
    connected = INVALID_SOCKET_HANDLE;
    ConnectFailure failure = ConnectFailure::no_answer;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = socket_address(address, port);
    if (s != INVALID_SOCKET && set_blocking(s, false)) {
        if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
            failure = ConnectFailure::none;
        else if (WSAGetLastError() == WSAEWOULDBLOCK)
            failure = connection_made(s, stop);
        else if (WSAGetLastError() == WSAECONNREFUSED)
            failure = ConnectFailure::refused;
    }
    if (failure == ConnectFailure::none && !set_blocking(s, true)) failure = ConnectFailure::no_answer;
    if (why) *why = failure;
    if (failure != ConnectFailure::none) {
        if (s != INVALID_SOCKET) closesocket(s);
        return false;
    }
    connected = to_handle(s);
    return true;
}

void close_socket(SocketHandle socket) {
    if (socket != INVALID_SOCKET_HANDLE) closesocket(to_socket(socket));
}

// A shutdown alone does not wake a send or recv already blocked on the
// socket; cancelling the socket's pending I/O does. The shutdown makes
// every later call fail at once.
void interrupt_socket(SocketHandle socket) {
    if (socket == INVALID_SOCKET_HANDLE) return;
    shutdown(to_socket(socket), 2);
    CancelIoEx(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(socket)), nullptr);
}

void shutdown_sending(SocketHandle socket) {
    if (socket != INVALID_SOCKET_HANDLE) shutdown(to_socket(socket), 1);
}

bool set_no_delay(SocketHandle socket) {
    BOOL on = TRUE;
    return setsockopt(to_socket(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool socket_readable(SocketHandle socket, std::int32_t milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(to_socket(socket), &readable);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

std::int32_t socket_bytes_waiting(SocketHandle socket) {
    u_long waiting = 0;
    if (ioctlsocket(to_socket(socket), FIONREAD, &waiting) != 0) return -1;
    return waiting > 0x7fffffff ? 0x7fffffff : static_cast<std::int32_t>(waiting);
}

// Sends without blocking inside the call, waiting for room in between: a
// large send blocked inside Winsock is not always woken by an abort's
// shutdown, while a wait for room ends at once. The wait is bounded by the
// socket's send idle limit, as a blocking send would be.
bool send_all(SocketHandle socket, const void* buffer, std::int32_t count) {
    SOCKET s = to_socket(socket);
    DWORD limit = 0;
    int size = sizeof limit;
    if (getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&limit), &size) != 0) limit = 0;
    u_long non_blocking = 1, blocking = 0;
    if (ioctlsocket(s, FIONBIO, &non_blocking) != 0) return false;
    const char* bytes = static_cast<const char*>(buffer);
    bool ok = true;
    while (ok && count > 0) {
        int sent = send(s, bytes, count, 0);
        if (sent > 0) {
            bytes += sent;
            count -= sent;
        } else if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval wait{static_cast<long>(limit / 1000), static_cast<long>(limit % 1000) * 1000};
            ok = select(0, nullptr, &writable, &failed, limit ? &wait : nullptr) > 0 && !FD_ISSET(s, &failed);
        } else {
            ok = false;
        }
    }
    ioctlsocket(s, FIONBIO, &blocking);
    return ok;
}

std::int32_t recv_some(SocketHandle socket, void* buffer, std::int32_t count) {
    if (count <= 0) return 0;
    return recv(to_socket(socket), static_cast<char*>(buffer), count, 0);
}

bool set_idle_limit(SocketHandle socket, std::int32_t milliseconds) {
    DWORD limit = static_cast<DWORD>(milliseconds);
    const char* value = reinterpret_cast<const char*>(&limit);
    return setsockopt(to_socket(socket), SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) == 0 &&
           setsockopt(to_socket(socket), SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) == 0;
}

std::int32_t local_port(SocketHandle socket) {
    sockaddr_in sa{};
    int length = sizeof sa;
    if (getsockname(to_socket(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}
