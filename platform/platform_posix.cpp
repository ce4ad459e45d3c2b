// POSIX backend: BSD sockets under WinSock's names and error codes.
#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/posix_errors.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
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

// The wait keeps its sockets registered with the kernel (epoll) from one
// call to the next. The loop waits up to 2000 times a second, and re-arming
// every socket on every call, as poll does, was most of an idle server's CPU.
// The registrations mirror the last call's sets, in the same order, so a
// call whose sets did not change costs one comparison per socket. A socket
// in the sets must be closed through platform.close, which drops it here.
constexpr unsigned MAX_WATCHED = 2 * SOCKET_SET_CAPACITY;
int watch_fd = -1;
pollfd watched[MAX_WATCHED];
nfds_t watched_count;

static_assert(EPOLLIN == POLLIN && EPOLLPRI == POLLPRI && EPOLLERR == POLLERR &&
              EPOLLHUP == POLLHUP);

void stop_watching()
{
    if (watch_fd >= 0)
        ::close(watch_fd);
    watch_fd = -1;
    watched_count = 0;
}

int watch_control(int operation, const pollfd& entry)
{
    epoll_event event{};
    event.events = static_cast<std::uint32_t>(entry.events);
    event.data.fd = entry.fd;
    return epoll_ctl(watch_fd, operation, entry.fd, &event);
}

// Registers a wanted socket, or changes what it is watched for. old_at is
// its place among the registrations, watched_count when it has none.
int watch(const pollfd& entry, nfds_t old_at)
{
    if (old_at < watched_count)
        return watched[old_at].events == entry.events ? 0 : watch_control(EPOLL_CTL_MOD, entry);
    if (watch_control(EPOLL_CTL_ADD, entry) == 0)
        return 0;
    // A socket listed twice in one set was registered by its first listing.
    return errno == EEXIST ? watch_control(EPOLL_CTL_MOD, entry) : -1;
}

// Brings the registrations in line with the wanted entries. On a failure,
// such as a socket that is no longer open, it starts afresh next time.
int sync_watched(const pollfd* wanted, nfds_t n)
{
    if (watch_fd < 0) {
        watch_fd = epoll_create1(EPOLL_CLOEXEC);
        if (watch_fd < 0)
            return record_errno();
    }
    for (nfds_t i = 0; i < watched_count; i++)
        if (entry_of(wanted, n, static_cast<socket_handle>(watched[i].fd), i) == n)
            watch_control(EPOLL_CTL_DEL, watched[i]);
    for (nfds_t i = 0; i < n; i++) {
        if (watch(wanted[i], entry_of(watched, watched_count,
                                      static_cast<socket_handle>(wanted[i].fd), i)) < 0) {
            record_errno();
            stop_watching();
            return -1;
        }
    }
    std::copy(wanted, wanted + n, watched);
    watched_count = n;
    return 0;
}

void forget_watched(int fd)
{
    nfds_t at = entry_of(watched, watched_count, static_cast<socket_handle>(fd), 0);
    if (at == watched_count)
        return;
    watch_control(EPOLL_CTL_DEL, watched[at]);
    std::copy(watched + at + 1, watched + watched_count, watched + at);
    watched_count--;
}

// Collects what is ready without waiting; when nothing is, sleeps on the
// one epoll descriptor with ppoll, whose time-out has the microseconds that
// epoll_wait lacks, and collects again. A busy loop so costs one call a turn.
int wait_for_events(pollfd* wanted, nfds_t n, long timeout_us)
{
    epoll_event events[MAX_WATCHED];
    int got = n > 0 ? epoll_wait(watch_fd, events, MAX_WATCHED, 0) : 0;
    if (got == 0 && timeout_us > 0) {
        timespec timeout{timeout_us / 1000000, (timeout_us % 1000000) * 1000};
        pollfd on_watch{watch_fd, POLLIN, 0};
        int ready = ppoll(n > 0 ? &on_watch : nullptr, n > 0 ? 1 : 0, &timeout, nullptr);
        if (ready < 0)
            return record_errno();
        got = ready > 0 ? epoll_wait(watch_fd, events, MAX_WATCHED, 0) : 0;
    }
    if (got < 0)
        return record_errno();
    for (int e = 0; e < got; e++)
        for (nfds_t i = 0; i < n; i++)
            if (wanted[i].fd == events[e].data.fd)
                wanted[i].revents = static_cast<short>(events[e].events);
    return got;
}

// select() over epoll: no fd_set bitmap, so descriptors of 1024 and above
// are as good as any. A hang-up or error counts as readable, so that the
// next recv reports it, which is what select does.
int posix_select(SocketSet* read_set, SocketSet* except_set, long timeout_us)
{
    pollfd wanted[MAX_WATCHED];
    nfds_t n = gather(read_set, except_set, wanted);
    if (sync_watched(wanted, n) < 0)
        return -1;
    int ready = wait_for_events(wanted, n, timeout_us);
    if (ready < 0)
        return -1;
    int reported = keep_reported(read_set, wanted, n, POLLIN | POLLHUP | POLLERR);
    reported += keep_reported(except_set, wanted, n, POLLPRI);
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
    // Every turn sends what it has; with Nagle's algorithm the second turn's
    // send would wait for the peer's delayed acknowledgement, up to 40 ms.
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
    forget_watched(fd_of(sock));
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
