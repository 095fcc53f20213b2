// Name lookups for the fuzzers: numeric hosts only, never the network.
#include <netdb.h>
#include <sys/socket.h>

extern "C" {
int __real_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** found);
int __real_getnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t host_length,
                       char* service, socklen_t service_length, int flags);

int __wrap_getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** found) {
    addrinfo numeric{};
    if (hints) numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    return __real_getaddrinfo(node, service, &numeric, found);
}

int __wrap_getnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t host_length,
                       char* service, socklen_t service_length, int flags) {
    return __real_getnameinfo(address, length, host, host_length, service, service_length,
                              flags | NI_NUMERICHOST | NI_NAMEREQD);
}
}
