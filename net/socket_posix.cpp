// Socket layer over BSD sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/socket.h"

std::atomic<bool> network_ready{false};

namespace {

sockaddr_in socket_address(const IpAddress& address, std::int32_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    std::memcpy(&sa.sin_addr, address.octets, 4);
    return sa;
}

// Slot tables use 0 for "no socket", so a socket must never be descriptor 0
// (possible when standard input is closed): move such a descriptor up.
int keep_off_zero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

SocketHandle to_handle(int fd) {
    return fd < 0 ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(fd);
}

int to_fd(SocketHandle socket) { return static_cast<int>(socket); }

int new_tcp_socket() {
    return keep_off_zero(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

}  // namespace

void start_sockets() { network_ready = true; }

void stop_sockets() {
    if (network_ready) network_ready = false;
}

namespace {

// The IPv4 addresses of a name (retried once); null when it has none. The
// caller frees the list.
addrinfo* lookup_ipv4(const Text& name) {
    if (name.empty()) return nullptr;
    auto zname = name.platform();
    for (int attempt = 0; attempt < 2; ++attempt) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(zname.c_str(), nullptr, &hints, &found) == 0 && found) return found;
    }
    return nullptr;
}

const void* ipv4_of(const addrinfo* entry) { return &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr; }

}  // namespace

Text resolve_host(const Text& name, IpAddress& address) {
    addrinfo* found = lookup_ipv4(name);
    if (!found) return {};
    std::memcpy(address.octets, ipv4_of(found), 4);
    freeaddrinfo(found);
    return address_to_text(address);
}

Text reverse_lookup(const IpAddress& address) {
    sockaddr_in sa = socket_address(address, 0);
    char host[NI_MAXHOST];
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host,
                        nullptr, 0, NI_NAMEREQD) == 0)
            return Text(host);
    }
    return {};
}

bool host_has_address(const Text& name, const IpAddress& address) {
    addrinfo* found = lookup_ipv4(name);
    bool has = false;
    for (addrinfo* a = found; a && !has; a = a->ai_next) has = std::memcmp(ipv4_of(a), address.octets, 4) == 0;
    if (found) freeaddrinfo(found);
    return has;
}

bool listen_on(std::int32_t port, SocketHandle& listening, std::int32_t backlog) {
    listening = INVALID_SOCKET_HANDLE;
    int fd = new_tcp_socket();
    if (fd < 0) return false;
    // A restarted receiver must not fail on connections left in TIME_WAIT.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = socket_address(IpAddress{}, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(fd, backlog == LARGEST_BACKLOG ? SOMAXCONN : backlog) != 0) {
        ::close(fd);
        return false;
    }
    listening = to_handle(fd);
    return true;
}

bool accept_peer(SocketHandle listening, SocketHandle& peer_socket, IpAddress& peer) {
    unsigned char buffer[129] = {};
    socklen_t length = sizeof buffer;
    int fd = accept4(to_fd(listening), reinterpret_cast<sockaddr*>(buffer), &length, SOCK_CLOEXEC);
    fd = fd < 0 ? fd : keep_off_zero(fd);
    peer_socket = to_handle(fd);
    if (fd < 0) return false;
    if (length >= 8) std::memcpy(peer.octets, buffer + 4, 4);
    return true;
}

namespace {

// Waits for a connection begun without blocking to be made or to fail.
ConnectFailure connection_made(int fd, const std::atomic<bool>* stop) {
    for (;;) {
        if (stop && stop->load()) return ConnectFailure::stopped;
        pollfd entry{fd, POLLOUT, 0};
        int ready = poll(&entry, 1, 100);
        if (ready < 0 && errno != EINTR) return ConnectFailure::no_answer;
        if (ready <= 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return ConnectFailure::no_answer;
        return error == 0 ? ConnectFailure::none : error == ECONNREFUSED ? ConnectFailure::refused
                                                                           : ConnectFailure::no_answer;
    }
}

}  // namespace

bool connect_to(const IpAddress& address, std::int32_t port, SocketHandle& connected,
                const std::atomic<bool>* stop, ConnectFailure* why) {
    connected = INVALID_SOCKET_HANDLE;
    ConnectFailure failure = ConnectFailure::no_answer;
    int fd = new_tcp_socket();
    sockaddr_in sa = socket_address(address, port);
    int flags = fd < 0 ? -1 : fcntl(fd, F_GETFL);
    if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
            failure = ConnectFailure::none;
        else if (errno == EINPROGRESS || errno == EINTR)
            failure = connection_made(fd, stop);
        else if (errno == ECONNREFUSED)
            failure = ConnectFailure::refused;
    }
    if (failure == ConnectFailure::none && fcntl(fd, F_SETFL, flags) != 0) failure = ConnectFailure::no_answer;
    if (why) *why = failure;
    if (failure != ConnectFailure::none) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    connected = to_handle(fd);
    return true;
}

void close_socket(SocketHandle socket) {
    if (socket != INVALID_SOCKET_HANDLE) ::close(to_fd(socket));
}

void interrupt_socket(SocketHandle socket) {
    if (socket != INVALID_SOCKET_HANDLE) shutdown(to_fd(socket), SHUT_RDWR);
}

void shutdown_sending(SocketHandle socket) {
    if (socket != INVALID_SOCKET_HANDLE) shutdown(to_fd(socket), SHUT_WR);
}

bool set_no_delay(SocketHandle socket) {
    int on = 1;
    return setsockopt(to_fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool socket_readable(SocketHandle socket, std::int32_t milliseconds) {
    pollfd entry{to_fd(socket), POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, milliseconds);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

std::int32_t socket_bytes_waiting(SocketHandle socket) {
    int waiting = 0;
    return ioctl(to_fd(socket), FIONREAD, &waiting) == 0 ? waiting : -1;
}

bool send_all(SocketHandle socket, const void* buffer, std::int32_t count) {
    const auto* bytes = static_cast<const char*>(buffer);
    int idle_rounds = 0;
    while (count > 0) {
        // MSG_NOSIGNAL: a peer that has gone away gives an error, not SIGPIPE.
        ssize_t sent = ::send(to_fd(socket), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (sent == 0) {
            if (++idle_rounds == 3) return false;
            continue;
        }
        idle_rounds = 0;
        bytes += sent;
        count -= static_cast<std::int32_t>(sent);
    }
    return true;
}

std::int32_t recv_some(SocketHandle socket, void* buffer, std::int32_t count) {
    if (count <= 0) return 0;
    ssize_t got;
    do {
        got = ::recv(to_fd(socket), buffer, static_cast<size_t>(count), 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<std::int32_t>(got);
}

bool set_idle_limit(SocketHandle socket, std::int32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = (milliseconds % 1000) * 1000;
    int fd = to_fd(socket);
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

std::int32_t local_port(SocketHandle socket) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (getsockname(to_fd(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return 0;
    return ntohs(sa.sin_port);
}
