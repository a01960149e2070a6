// The socket calls on POSIX and on Winsock. The OS-specific part is a handful of small functions
// at the top; connecting, listening and the waker are written once on top of them.
#include "platform/net/socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// mstcpip.h needs the types of winsock2.h first.
#include <mstcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

#include <algorithm>
#include <climits>
#include <cstdio>
#include <type_traits>

#include "platform/platform.h"

namespace platform::net {
namespace {

// Nanoseconds left until the deadline (0 when it has passed).
uint64_t LeftNs(uint64_t deadline) {
    uint64_t now = MonotonicNs();
    return deadline > now ? deadline - now : 0;
}

#if defined(_WIN32)
// ---------------------------------------------------------------------------------------------
// Winsock

static_assert(std::is_same_v<Socket, SOCKET>);
using NativePoll = WSAPOLLFD;
using AddressLength = int;

// Winsock is started once, by whichever thread first needs a socket, and stays up for the life
// of the process (sockets may be open until its end).
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

bool SetNonBlocking(Socket socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

Socket NewSocket(int family, int type) {
    if (!Started()) return kNoSocket;
    // Overlapped, as socket() makes them; not inherited by child processes.
    Socket socket =
        WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return kNoSocket;
    if (!SetNonBlocking(socket)) {
        closesocket(socket);
        return kNoSocket;
    }
    return socket;
}

void SetOption(Socket socket, int level, int name, int value) {
    setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// A device server that vanishes without closing (power, cable) is noticed by keep-alive probes
// after ten idle seconds, five seconds apart (Windows fixes their number).
void KeepAlive(Socket socket) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = 10000;
    values.keepaliveinterval = 5000;
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
}

int SocketError(Socket socket) {
    int error = 0;
    int size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
        return -1;
    return error;
}

// A connect under way (WSAEWOULDBLOCK) has finished by the deadline and succeeded. This waits in
// select rather than WSAPoll: older WSAPoll does not report a refused connection at all.
bool ConnectCompletes(Socket socket, uint64_t deadline) {
    for (;;) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        FD_SET(socket, &failed);
        timeval span{};
        timeval* timeout = nullptr;
        if (deadline != kNoDeadline) {
            uint64_t us = (LeftNs(deadline) + 999) / 1000;
            us = std::min<uint64_t>(us, uint64_t{86400} * 1000000);
            span.tv_sec = static_cast<long>(us / 1000000);
            span.tv_usec = static_cast<long>(us % 1000000);
            timeout = &span;
        }
        int ready = select(0, nullptr, &writable, &failed, timeout);
        if (ready < 0) return false;
        if (ready > 0) return FD_ISSET(socket, &writable) && SocketError(socket) == 0;
        if (deadline == kNoDeadline || LeftNs(deadline) == 0) return false;
    }
}

bool StartConnect(Socket socket, const sockaddr* address, AddressLength length, uint64_t deadline) {
    if (connect(socket, address, length) == 0) return true;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    return ConnectCompletes(socket, deadline);
}

// WSAPoll takes whole milliseconds: rounded up, so that a wait never ends before its deadline.
int NativeWait(NativePoll* fds, std::size_t count, uint64_t deadline) {
    for (;;) {
        int ms = -1;
        if (deadline != kNoDeadline)
            ms = static_cast<int>(
                std::min<uint64_t>((LeftNs(deadline) + 999999) / 1000000, INT_MAX));
        int ready = WSAPoll(fds, static_cast<ULONG>(count), ms);
        if (ready != 0) return ready < 0 ? -1 : ready;
        if (deadline != kNoDeadline && LeftNs(deadline) == 0) return 0;
    }
}

Socket NativeAccept(Socket listener) {
    Socket socket = accept(listener, nullptr, nullptr);
    if (socket == INVALID_SOCKET) return kNoSocket;
    if (!SetNonBlocking(socket)) {
        closesocket(socket);
        return kNoSocket;
    }
    return socket;
}

std::ptrdiff_t Outcome(int result) {
    if (result >= 0) return result;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

std::ptrdiff_t NativeReceive(Socket socket, void* buffer, std::size_t size) {
    int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    return Outcome(recv(socket, static_cast<char*>(buffer), length, 0));
}

std::ptrdiff_t NativeSend(Socket socket, const void* data, std::size_t size) {
    int length = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    return Outcome(send(socket, static_cast<const char*>(data), length, 0));
}

void NativeShutdown(Socket socket) {
    shutdown(socket, SD_BOTH);
}

void NativeClose(Socket socket) {
    closesocket(socket);
}

#else
// ---------------------------------------------------------------------------------------------
// POSIX

using NativePoll = pollfd;
using AddressLength = socklen_t;

Socket NewSocket(int family, int type) {
    return socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void SetOption(Socket socket, int level, int name, int value) {
    setsockopt(socket, level, name, &value, sizeof value);
}

// A device server that vanishes without closing (power, cable) is noticed within about half a
// minute, idle (keep-alive) or with data unacknowledged (user time-out).
void KeepAlive(Socket socket) {
    SetOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPIDLE, 10);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPINTVL, 5);
    SetOption(socket, IPPROTO_TCP, TCP_KEEPCNT, 3);
    SetOption(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, 30000);
}

int NativeWait(NativePoll* fds, std::size_t count, uint64_t deadline) {
    for (;;) {
        timespec span{};
        timespec* timeout = nullptr;
        if (deadline != kNoDeadline) {
            uint64_t left = LeftNs(deadline);
            span.tv_sec = static_cast<time_t>(left / 1000000000u);
            span.tv_nsec = static_cast<long>(left % 1000000000u);
            timeout = &span;
        }
        int ready = ppoll(fds, static_cast<nfds_t>(count), timeout, nullptr);
        if (ready >= 0) return ready;
        if (errno != EINTR) return -1;
    }
}

bool StartConnect(Socket socket, const sockaddr* address, AddressLength length, uint64_t deadline) {
    if (connect(socket, address, length) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if ((Wait(socket, kWritable, deadline) & (kWritable | kBroken)) == 0) return false;
    int error = 0;
    socklen_t size = sizeof error;
    return getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

Socket NativeAccept(Socket listener) {
    for (;;) {
        Socket socket = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket >= 0 || errno != EINTR) return socket < 0 ? kNoSocket : socket;
    }
}

std::ptrdiff_t Outcome(ssize_t result) {
    if (result >= 0) return result;
    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : kFailed;
}

std::ptrdiff_t NativeReceive(Socket socket, void* buffer, std::size_t size) {
    for (;;) {
        ssize_t got = recv(socket, buffer, size, MSG_DONTWAIT);
        if (got >= 0 || errno != EINTR) return Outcome(got);
    }
}

std::ptrdiff_t NativeSend(Socket socket, const void* data, std::size_t size) {
    for (;;) {
        ssize_t sent = send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0 || errno != EINTR) return Outcome(sent);
    }
}

void NativeShutdown(Socket socket) {
    shutdown(socket, SHUT_RDWR);
}

void NativeClose(Socket socket) {
    close(socket);
}

#endif
// ---------------------------------------------------------------------------------------------

// A non-blocking connect bounded by the deadline; the socket or kNoSocket.
Socket ConnectTo(const sockaddr* address, AddressLength length, uint64_t deadline) {
    Socket socket = NewSocket(address->sa_family, SOCK_STREAM);
    if (socket == kNoSocket) return kNoSocket;
    if (!StartConnect(socket, address, length, deadline)) {
        NativeClose(socket);
        return kNoSocket;
    }
    // Modem dialogues are short exchanges: no waiting to fill segments.
    SetOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    KeepAlive(socket);
    return socket;
}

}  // namespace

uint64_t DeadlineAfterMs(uint64_t ms) {
    if (ms >= kNoDeadline / 1000000u) return kNoDeadline;
    uint64_t now = MonotonicNs();
    uint64_t ns = ms * 1000000u;
    return ns > kNoDeadline - now ? kNoDeadline : now + ns;
}

// The resolver may allocate and may wait for DNS beyond the deadline; an address literal never
// reaches it.
Socket Connect(const char* host, uint16_t port, uint64_t deadline) {
#if defined(_WIN32)
    if (!Started()) return kNoSocket;
#endif
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &v4.sin_addr) == 1)
        return ConnectTo(reinterpret_cast<sockaddr*>(&v4), sizeof v4, deadline);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (inet_pton(AF_INET6, host, &v6.sin6_addr) == 1)
        return ConnectTo(reinterpret_cast<sockaddr*>(&v6), sizeof v6, deadline);

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0) return kNoSocket;
    Socket socket = kNoSocket;
    for (addrinfo* entry = list; entry != nullptr && socket == kNoSocket; entry = entry->ai_next) {
        if (MonotonicNs() >= deadline) break;
        socket = ConnectTo(entry->ai_addr, static_cast<AddressLength>(entry->ai_addrlen), deadline);
    }
    freeaddrinfo(list);
    return socket;
}

Socket ListenLoopback(uint16_t port, uint16_t* boundPort) {
    Socket socket = NewSocket(AF_INET, SOCK_STREAM);
    if (socket == kNoSocket) return kNoSocket;
#if !defined(_WIN32)
    // A fixed port can be taken again while old connections linger. (On Windows the option
    // would let another program take the port from us, and lingering needs no leave there.)
    SetOption(socket, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    AddressLength length = sizeof address;
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(socket, 4) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        NativeClose(socket);
        return kNoSocket;
    }
    *boundPort = ntohs(address.sin_port);
    return socket;
}

Socket Accept(Socket listener) {
    Socket socket = NativeAccept(listener);
    if (socket != kNoSocket) SetOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    return socket;
}

int Poll(PollEntry* entries, std::size_t count, uint64_t deadline) {
    if (count > kMaxPoll) return -1;
    NativePoll fds[kMaxPoll] = {};
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = entries[i].socket;
        fds[i].events = static_cast<short>(((entries[i].want & kReadable) ? POLLIN : 0) |
                                           ((entries[i].want & kWritable) ? POLLOUT : 0));
    }
    int ready = NativeWait(fds, count, deadline);
    for (std::size_t i = 0; i < count; ++i) {
        int got = ready > 0 ? fds[i].revents : 0;
        entries[i].ready = ((got & POLLIN) ? kReadable : 0u) | ((got & POLLOUT) ? kWritable : 0u) |
                           ((got & (POLLERR | POLLHUP | POLLNVAL)) ? kBroken : 0u);
    }
    return ready;
}

unsigned Wait(Socket socket, unsigned want, uint64_t deadline) {
    PollEntry entry{socket, want, 0};
    int ready = Poll(&entry, 1, deadline);
    if (ready < 0) return kBroken;
    return entry.ready;
}

std::ptrdiff_t Receive(Socket socket, void* buffer, std::size_t size) {
    return NativeReceive(socket, buffer, size);
}

std::ptrdiff_t Send(Socket socket, const void* data, std::size_t size) {
    return NativeSend(socket, data, size);
}

void Shutdown(Socket socket) {
    NativeShutdown(socket);
}

void Close(Socket socket) {
    NativeClose(socket);
}

// A UDP socket on the loopback, connected to itself: what is sent to it makes it readable. It
// serves on both systems, where a pipe would not do with Winsock.
Socket OpenWaker() {
    Socket socket = NewSocket(AF_INET, SOCK_DGRAM);
    if (socket == kNoSocket) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    AddressLength length = sizeof address;
    if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(socket, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        NativeClose(socket);
        return kNoSocket;
    }
    return socket;
}

void Wake(Socket waker) {
    const char byte = 0;
    NativeSend(waker, &byte, 1);
}

void Drain(Socket waker) {
    char scratch[64];
    while (NativeReceive(waker, scratch, sizeof scratch) > 0) {
    }
}

}  // namespace platform::net
