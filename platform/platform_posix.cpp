// POSIX backend: BSD sockets under WinSock's names and error codes.
#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/posix_errors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

int wsa_code_from_errno(int posix_errno)
{
    switch (posix_errno) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return posix_errno;
    }
}

int record_errno()
{
    sock_set_last_error(wsa_code_from_errno(errno));
    return -1;
}

namespace {

int fd_of(socket_handle sock)
{
    return static_cast<int>(sock);
}

std::time_t posix_now()
{
    return std::time(nullptr);
}

// The entry for sock, looked for first at hint: the server builds both sets
// from one list in one order, so an exception-set member is usually at the
// same position as in the read set. n when there is none.
nfds_t entry_of(const pollfd* fds, nfds_t n, socket_handle sock, nfds_t hint)
{
    if (hint < n && fds[hint].fd == fd_of(sock))
        return hint;
    for (nfds_t i = 0; i < n; i++)
        if (fds[i].fd == fd_of(sock))
            return i;
    return n;
}

// Gathers the members of both sets into one pollfd array: entry i is read-set
// member i (poll takes a descriptor listed twice), and an exception-set member
// joins its read entry or gets one of its own. Linear in the common case; the
// loop runs this every turn.
nfds_t gather(const SocketSet* read_set, const SocketSet* except_set, pollfd* fds)
{
    nfds_t n = 0;
    if (read_set)
        for (unsigned i = 0; i < read_set->count; i++)
            fds[n++] = pollfd{fd_of(read_set->handles[i]), POLLIN, 0};
    nfds_t read_entries = n;
    if (except_set) {
        for (unsigned i = 0; i < except_set->count; i++) {
            socket_handle sock = except_set->handles[i];
            nfds_t at = entry_of(fds, read_entries, sock, i);
            if (at == read_entries)
                at = read_entries + entry_of(fds + read_entries, n - read_entries, sock, n);
            if (at == n)
                fds[n++] = pollfd{fd_of(sock), 0, 0};
            fds[at].events = static_cast<short>(fds[at].events | POLLPRI);
        }
    }
    return n;
}

// Keeps in the set only the members whose events match, as select does.
int keep_reported(SocketSet* set, const pollfd* fds, nfds_t n, short wanted)
{
    if (!set)
        return 0;
    unsigned kept = 0;
    for (unsigned i = 0; i < set->count; i++) {
        nfds_t at = entry_of(fds, n, set->handles[i], i);
        if (at < n && (fds[at].revents & wanted))
            set->handles[kept++] = set->handles[i];
    }
    set->count = kept;
    return static_cast<int>(kept);
}

// select() over poll(): no fd_set bitmap, so descriptors of 1024 and above
// are as good as any. A hang-up or error counts as readable, so that the
// next recv reports it, which is what select does.
int posix_select(SocketSet* read_set, SocketSet* except_set, long timeout_us)
{
    pollfd fds[2 * SOCKET_SET_CAPACITY];
    nfds_t n = gather(read_set, except_set, fds);
    timespec timeout{timeout_us / 1000000, (timeout_us % 1000000) * 1000};
    int ready = ppoll(fds, n, &timeout, nullptr);
    if (ready < 0)
        return record_errno();
    for (nfds_t i = 0; i < n; i++) {
        if (fds[i].revents & POLLNVAL) {
            sock_set_last_error(WSAENOTSOCK);
            return -1;
        }
    }
    if (ready == 0) {
        if (read_set)
            read_set->count = 0;
        if (except_set)
            except_set->count = 0;
        return 0;
    }
    int reported = keep_reported(read_set, fds, n, POLLIN | POLLHUP | POLLERR);
    reported += keep_reported(except_set, fds, n, POLLPRI);
    return reported;
}

socket_handle posix_accept(socket_handle listener, PeerAddress* peer)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd = ::accept(fd_of(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (fd < 0) {
        record_errno();
        return INVALID_SOCKET_HANDLE;
    }
    std::memcpy(peer->octets, &address.sin_addr.s_addr, 4);
    peer->port = ntohs(address.sin_port);
    // Frames go out one send each; with Nagle's algorithm the second of two
    // would wait for the peer's delayed acknowledgement, up to 40 ms.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return static_cast<socket_handle>(fd);
}

int posix_recv(socket_handle sock, char* buffer, int size)
{
    ssize_t n = ::recv(fd_of(sock), buffer, static_cast<size_t>(size), 0);
    return n < 0 ? record_errno() : static_cast<int>(n);
}

// MSG_NOSIGNAL: a peer that has gone must cost an error code, not SIGPIPE.
int posix_send(socket_handle sock, const char* data, int size, int flags)
{
    ssize_t n = ::send(fd_of(sock), data, static_cast<size_t>(size), flags | MSG_NOSIGNAL);
    return n < 0 ? record_errno() : static_cast<int>(n);
}

int posix_close(socket_handle sock)
{
    return ::close(fd_of(sock)) < 0 ? record_errno() : 0;
}

int posix_set_nonblocking(socket_handle sock)
{
    int flags = fcntl(fd_of(sock), F_GETFL, 0);
    if (flags < 0 || fcntl(fd_of(sock), F_SETFL, flags | O_NONBLOCK) < 0)
        return record_errno();
    return 0;
}

int posix_reverse_lookup(const PeerAddress* peer, char* host, std::size_t size)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr.s_addr, peer->octets, 4);
    int rc = getnameinfo(reinterpret_cast<sockaddr*>(&address), sizeof address, host,
                         static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD);
    return rc == 0 ? 1 : 0;
}

constexpr PlatformCalls posix_calls = {
    posix_now,  posix_select, posix_accept,          posix_recv,
    posix_send, posix_close,  posix_set_nonblocking, posix_reverse_lookup,
    heap_alloc, heap_resize,  heap_release,
};

} // namespace

const PlatformCalls platform_defaults = posix_calls;
PlatformCalls platform = posix_calls;

int sock_startup(std::uint16_t requested, std::uint16_t* granted)
{
    *granted = requested;
    return 0;
}

void sock_cleanup() {}

socket_handle sock_open_stream()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        record_errno();
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<socket_handle>(fd);
}

int sock_reuse_address(socket_handle sock)
{
    std::int32_t on = 1;
    if (setsockopt(fd_of(sock), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        return record_errno();
    return 0;
}

int sock_bind_any(socket_handle sock, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_of(sock), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
        return record_errno();
    return 0;
}

int sock_listen(socket_handle sock, int backlog)
{
    return ::listen(fd_of(sock), backlog) < 0 ? record_errno() : 0;
}

void debug_output(const char* text)
{
    syslog(LOG_DEBUG, "%s", text);
}

void sleep_ms(unsigned milliseconds)
{
    timespec pause{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) < 0 && errno == EINTR) {
    }
}

int local_time(std::time_t t, std::tm* out)
{
    return localtime_r(&t, out) ? 1 : 0;
}

const char* const LOG_FILE_MODE = "a";
