// POSIX backend: BSD sockets under WinSock's names and error codes.
#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/posix_errors.h"
#include "platform/resolver_backend.h"
#include "platform/socket_api.h"

#include <arpa/inet.h>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
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

namespace {

// The errno behind a WSA code; any other code came through as an errno.
int errno_from_wsa_code(int code)
{
    switch (code) {
    case WSAEINTR: return EINTR;
    case WSAEBADF: return EBADF;
    case WSAEACCES: return EACCES;
    case WSAEFAULT: return EFAULT;
    case WSAEINVAL: return EINVAL;
    case WSAEMFILE: return EMFILE;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAENOBUFS: return ENOBUFS;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return ESHUTDOWN;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    default: return code;
    }
}

} // namespace

std::string sock_error_text(int code)
{
    return std::strerror(errno_from_wsa_code(code));
}

int record_errno()
{
    sock_set_last_error(wsa_code_from_errno(errno));
    return -1;
}

int record_socket_error()
{
    return record_errno();
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

// The poller is an epoll descriptor: the kernel keeps the watched sockets
// from one wait to the next. A busy loop waits thousands of times a second,
// and re-arming every socket on every call, as poll does, was most of its
// CPU.
poller_handle posix_open_poller()
{
    int fd = epoll_create1(EPOLL_CLOEXEC);
    return fd < 0 ? (record_errno(), NO_POLLER) : fd;
}

void posix_close_poller(poller_handle poller)
{
    if (poller != NO_POLLER)
        ::close(static_cast<int>(poller));
}

int posix_watch(poller_handle poller, socket_handle sock, Interest interest, Watcher* watcher)
{
    epoll_event event{};
    event.events = EPOLLPRI | (interest.read ? EPOLLIN : 0u) | (interest.write ? EPOLLOUT : 0u);
    event.data.ptr = watcher;
    int epoll = static_cast<int>(poller);
    if (epoll_ctl(epoll, EPOLL_CTL_MOD, fd_of(sock), &event) == 0)
        return 0;
    if (errno == ENOENT && epoll_ctl(epoll, EPOLL_CTL_ADD, fd_of(sock), &event) == 0)
        return 0;
    return record_errno();
}

void posix_unwatch(poller_handle poller, socket_handle sock)
{
    epoll_ctl(static_cast<int>(poller), EPOLL_CTL_DEL, fd_of(sock), nullptr);
}

// Waits at most timeout_us for ready sockets, or without a time-out when it
// is negative. epoll_pwait2 takes the time-out in nanoseconds, so one call
// can wait to the microsecond where epoll_wait's milliseconds cannot. Where
// it is missing (C libraries before 2.35, kernels before 5.11) the wait
// collects without waiting and, when nothing is ready, sleeps on the epoll
// descriptor with ppoll and collects again.
int wait_for_ready(int epoll, epoll_event* ready, int most, long timeout_us)
{
    timespec timeout{timeout_us / 1000000, (timeout_us % 1000000) * 1000};
    timespec* limit = timeout_us < 0 ? nullptr : &timeout;
#ifdef QM_HAVE_EPOLL_PWAIT2
    // Read and written on the loop's thread only.
    static bool kernel_has_pwait2 = true;
    if (kernel_has_pwait2) {
        int got = epoll_pwait2(epoll, ready, most, limit, nullptr);
        if (got >= 0 || errno != ENOSYS)
            return got;
        kernel_has_pwait2 = false;
    }
#endif
    int got = epoll_wait(epoll, ready, most, 0);
    if (got != 0 || timeout_us == 0)
        return got;
    pollfd on_epoll{epoll, POLLIN, 0};
    int woken = ppoll(&on_epoll, 1, limit, nullptr);
    return woken > 0 ? epoll_wait(epoll, ready, most, 0) : woken;
}

// A hang-up or error counts as readable, so that the next recv reports it,
// which is what select does; an error counts as writable too, so that a
// send waiting for room hears of it.
int posix_wait(poller_handle poller, SocketEvent* events, int capacity, long timeout_us)
{
    constexpr int BATCH = 256;
    epoll_event ready[BATCH];
    int got = wait_for_ready(static_cast<int>(poller), ready, std::min(capacity, BATCH), timeout_us);
    // A handled signal ends the wait early; that is no failure, just no events.
    if (got < 0)
        return errno == EINTR ? 0 : record_errno();
    for (int i = 0; i < got; i++) {
        const std::uint32_t what = ready[i].events;
        events[i] = SocketEvent{static_cast<Watcher*>(ready[i].data.ptr),
                                (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0,
                                (what & (EPOLLOUT | EPOLLERR)) != 0,
                                (what & EPOLLPRI) != 0,
                                (what & (EPOLLHUP | EPOLLERR)) != 0};
    }
    return got;
}

socket_handle posix_accept(socket_handle listener, PeerAddress* peer)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = ::accept(fd_of(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (fd < 0) {
        record_errno();
        return INVALID_SOCKET_HANDLE;
    }
    store_peer(address, peer);
    // Every turn sends what it has; with Nagle's algorithm the second turn's
    // send would wait for the peer's delayed acknowledgement, up to 40 ms.
    // A socket that refuses it is no working connection: it is not taken.
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        record_errno();
        ::close(fd);
        return INVALID_SOCKET_HANDLE;
    }
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

std::int64_t posix_monotonic_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Never destroyed: resolver threads may hold it while the process exits.
std::mutex& resolver_mutex = *new std::mutex;
std::condition_variable& resolver_signal = *new std::condition_variable;

constexpr PlatformCalls posix_calls = {
    .now = posix_now,
    .open_poller = posix_open_poller,
    .close_poller = posix_close_poller,
    .watch = posix_watch,
    .unwatch = posix_unwatch,
    .wait = posix_wait,
    .accept = posix_accept,
    .recv = posix_recv,
    .send = posix_send,
    .close = posix_close,
    .set_nonblocking = posix_set_nonblocking,
    .monotonic_ms = posix_monotonic_ms,
    .lookup_start = resolver_lookup_start,
    .lookup_collect = resolver_lookup_collect,
    .lookup_cancel = resolver_lookup_cancel,
    .alloc = heap_alloc,
    .resize = heap_resize,
    .release = heap_release,
};

} // namespace

void resolver_lock()
{
    resolver_mutex.lock();
}

void resolver_unlock()
{
    resolver_mutex.unlock();
}

void resolver_sleep()
{
    std::unique_lock<std::mutex> held(resolver_mutex, std::adopt_lock);
    resolver_signal.wait(held);
    held.release();
}

void resolver_wake_all()
{
    resolver_signal.notify_all();
}

// A worker starts with every signal blocked, so that an operator's signal
// is taken by the loop's thread and ends its wait, instead of landing in a
// worker while the loop sleeps on.
bool resolver_start_worker(void (*run)(void*), void* argument)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool started = true;
    try {
        std::thread(run, argument).detach();
    } catch (const std::system_error&) {
        started = false;
    } catch (const std::bad_alloc&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

const PlatformCalls platform_defaults = posix_calls;
PlatformCalls platform = posix_calls;

int sock_startup(std::uint16_t requested, std::uint16_t* granted)
{
    *granted = requested;
    return 0;
}

void sock_cleanup() {}

// SOMAXCONN asks for the most; the kernel caps it at net.core.somaxconn.
int sock_listen(socket_handle sock)
{
    return ::listen(fd_of(sock), SOMAXCONN) < 0 ? record_errno() : 0;
}

void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

#ifdef __GLIBC__
constexpr int KEPT_FOR_REUSE_BYTES = 4 << 20;
#endif

// A busy turn fills every receiver's queue and gives each block back once
// it is sent. glibc returns the top of its heap to the system whenever more
// than 128 KiB of it is free, and serves blocks from 128 KiB up with fresh
// mappings: the heap then grew and shrank by megabytes every turn, each
// fresh page a fault, which cost a broadcast among 63 clients about 40 % of
// its rate. Keeping up to 4 MiB free costs at most that much resident memory
// once the traffic stops.
void keep_freed_memory_for_reuse()
{
#ifdef __GLIBC__
    mallopt(M_TRIM_THRESHOLD, KEPT_FOR_REUSE_BYTES);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

// The threshold above only trims the top of the heap: free pages between
// blocks still in use stay resident. malloc_trim gives those back too, and
// keeps the same reserve at the top.
void give_back_freed_memory()
{
#ifdef __GLIBC__
    malloc_trim(KEPT_FOR_REUSE_BYTES);
#endif
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
