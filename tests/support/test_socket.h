#pragma once

// The few socket calls the loopback test server needs, implemented once per platform.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vindral::test::sock {

// Wide enough for a Winsock SOCKET and a POSIX descriptor; kNone is INVALID_SOCKET or -1.
using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// A socket listening on 127.0.0.1 on a port the system picks; kNone on failure.
Handle listenLoopback(std::uint16_t& port);
Handle acceptClient(Handle listener);
Handle connectLoopback(std::uint16_t port);
// Bytes received, 0 at the end of the stream, below 0 on failure.
std::ptrdiff_t receiveSome(Handle socket, char* buffer, std::size_t size);
bool sendAll(Handle socket, std::string_view bytes);
// Ends both directions, which wakes a thread blocked in a call on the socket.
void shutdownBoth(Handle socket);
void closeSocket(Handle socket);
// Closes with a zero linger time, so that the peer sees a connection reset.
void resetSocket(Handle socket);

}  // namespace vindral::test::sock
