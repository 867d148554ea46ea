#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <mutex>

#include "tests/support/test_socket.h"

namespace vindral::test::sock {

namespace {

// Winsock stays initialised for the rest of the test program once a server was made.
void startWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
}

SOCKET raw(Handle socket) {
    return static_cast<SOCKET>(socket);
}

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

Handle wrap(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNone : static_cast<Handle>(socket);
}

}  // namespace

Handle listenLoopback(std::uint16_t& port) {
    startWinsock();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kNone;
    }
    sockaddr_in address = loopbackAddress(0);
    int length = sizeof(address);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(s, SOMAXCONN) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::closesocket(s);
        return kNone;
    }
    port = ntohs(address.sin_port);
    return wrap(s);
}

Handle acceptClient(Handle listener) {
    return wrap(::accept(raw(listener), nullptr, nullptr));
}

Handle connectLoopback(std::uint16_t port) {
    startWinsock();
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kNone;
    }
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::closesocket(s);
        return kNone;
    }
    return wrap(s);
}

std::ptrdiff_t receiveSome(Handle socket, char* buffer, std::size_t size) {
    const int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    return ::recv(raw(socket), buffer, chunk, 0);
}

bool sendAll(Handle socket, std::string_view bytes) {
    while (!bytes.empty()) {
        const int chunk = bytes.size() > INT_MAX ? INT_MAX : static_cast<int>(bytes.size());
        const int n = ::send(raw(socket), bytes.data(), chunk, 0);
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void shutdownBoth(Handle socket) {
    ::shutdown(raw(socket), SD_BOTH);
}

void closeSocket(Handle socket) {
    ::closesocket(raw(socket));
}

void resetSocket(Handle socket) {
    const linger noLinger{1, 0};
    ::setsockopt(raw(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&noLinger),
                 sizeof(noLinger));
    ::closesocket(raw(socket));
}

}  // namespace vindral::test::sock
