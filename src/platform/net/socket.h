// TCP sockets for the network serial port and for the tools and tests that serve one: the few
// calls they need, the same on POSIX sockets and on Winsock.
//
// Every socket made here is non-blocking: sends and receives never wait, and waiting is done in
// Wait or Poll, bounded by a deadline on MonotonicNs (kNoDeadline: none). No call allocates,
// except that resolving a host name goes through the system's resolver.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::net {

#if defined(_WIN32)
using Socket = std::uintptr_t;  // SOCKET
inline constexpr Socket kNoSocket = ~Socket{0};
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

inline constexpr uint64_t kNoDeadline = UINT64_MAX;

// A deadline `ms` real milliseconds from now.
uint64_t DeadlineAfterMs(uint64_t ms);

// Connects to host:port, trying an address literal (IPv4, or IPv6 without brackets) first and
// then the resolver's addresses in turn; the connection is made before the deadline or not at
// all. The socket has Nagle's delay off and keep-alive on. kNoSocket on failure.
Socket Connect(const char* host, uint16_t port, uint64_t deadline);

// Listens on 127.0.0.1:port (0: a free port the system chooses); *boundPort is the port taken.
Socket ListenLoopback(uint16_t port, uint16_t* boundPort);
// Takes a waiting connection from a listener, with Nagle's delay off; kNoSocket if none waits.
Socket Accept(Socket listener);

// What a wait asks for and what it found.
enum : unsigned {
    kReadable = 1u,  // data, a connection to accept, or the end of the stream
    kWritable = 2u,
    kBroken = 4u,  // error or hang-up; also reported when the wait itself failed
};

struct PollEntry {
    Socket socket;
    unsigned want;   // kReadable and/or kWritable
    unsigned ready;  // set by Poll
};

// Waits until some entry is ready or the deadline passes; up to kMaxPoll entries. Returns the
// number of entries ready (0 at the deadline), -1 when the wait failed.
inline constexpr std::size_t kMaxPoll = 8;
int Poll(PollEntry* entries, std::size_t count, uint64_t deadline);
// One socket: what it is ready for, 0 at the deadline.
unsigned Wait(Socket socket, unsigned want, uint64_t deadline);

// Results of Receive and Send besides a byte count.
inline constexpr std::ptrdiff_t kWouldBlock = -1;  // nothing to take, or no room to send
inline constexpr std::ptrdiff_t kFailed = -2;      // the connection failed

// Takes what has arrived, up to `size` bytes: the count, 0 when the peer has closed, kWouldBlock
// or kFailed.
std::ptrdiff_t Receive(Socket socket, void* buffer, std::size_t size);
// Sends what fits without waiting: the count (never 0 for a non-empty send), kWouldBlock or
// kFailed. A closed peer is an error, never a signal.
std::ptrdiff_t Send(Socket socket, const void* data, std::size_t size);

// Ends both directions, which wakes a thread waiting on the socket; the socket stays open.
void Shutdown(Socket socket);
void Close(Socket socket);

// A socket that another thread makes readable with Wake, to end a Poll that includes it.
// Drain takes the wake-ups so that the next Poll waits again.
Socket OpenWaker();
void Wake(Socket waker);
void Drain(Socket waker);

}  // namespace platform::net
