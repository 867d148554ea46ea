#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/test_socket.h"

namespace vindral::test::sock {

namespace {

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

Handle listenLoopback(std::uint16_t& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return kNone;
    }
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof(address);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(s, SOMAXCONN) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(s);
        return kNone;
    }
    port = ntohs(address.sin_port);
    return s;
}

Handle acceptClient(Handle listener) {
    for (;;) {
        const int s = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (s >= 0 || errno != EINTR) {
            return s < 0 ? kNone : s;
        }
    }
}

Handle connectLoopback(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return kNone;
    }
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(s);
        return kNone;
    }
    return s;
}

std::ptrdiff_t receiveSome(Handle socket, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), buffer, size, 0);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n =
            ::send(static_cast<int>(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void shutdownBoth(Handle socket) {
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
}

void closeSocket(Handle socket) {
    ::close(static_cast<int>(socket));
}

void resetSocket(Handle socket) {
    const linger noLinger{1, 0};
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &noLinger, sizeof(noLinger));
    ::close(static_cast<int>(socket));
}

}  // namespace vindral::test::sock
