// Windows backend: WinSock itself. <winsock2.h> comes first so that its
// error-code macros stand in for the platform header's own definitions.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/resolver_backend.h"
#include "platform/socket_api.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

int record_wsa_error()
{
    sock_set_last_error(WSAGetLastError());
    return -1;
}

SOCKET native(socket_handle sock)
{
    return static_cast<SOCKET>(sock);
}

std::time_t win_now()
{
    return std::time(nullptr);
}

// WinSock has no kernel-kept interest list: a poller is a list of watched
// sockets, and a wait hands them to select in fd_sets of FD_SETSIZE (64).
struct Watched {
    SOCKET sock;
    Interest interest;
    Watcher* watcher;
};

struct WinPoller {
    std::vector<Watched> entries;
    std::unordered_map<SOCKET, std::size_t> index; // entry of each socket
    // The slice of 64 entries the next wait looks at first. A wait stores
    // at most capacity events; starting where the last one ran out, as
    // epoll's ready list does, lets every busy socket have its turn.
    std::size_t first_slice = 0;
};

WinPoller* poller_of(poller_handle poller)
{
    return reinterpret_cast<WinPoller*>(poller);
}

poller_handle win_open_poller()
{
    return reinterpret_cast<poller_handle>(new WinPoller);
}

void win_close_poller(poller_handle poller)
{
    if (poller != NO_POLLER)
        delete poller_of(poller);
}

int win_watch(poller_handle poller, socket_handle sock, Interest interest, Watcher* watcher)
{
    WinPoller& p = *poller_of(poller);
    auto [at, added] = p.index.try_emplace(native(sock), p.entries.size());
    if (added)
        p.entries.push_back(Watched{native(sock), interest, watcher});
    else
        p.entries[at->second] = Watched{native(sock), interest, watcher};
    return 0;
}

void win_unwatch(poller_handle poller, socket_handle sock)
{
    WinPoller& p = *poller_of(poller);
    auto at = p.index.find(native(sock));
    if (at == p.index.end())
        return;
    std::size_t gone = at->second;
    p.index.erase(at);
    if (gone + 1 < p.entries.size()) {
        p.entries[gone] = p.entries.back();
        p.index[p.entries[gone].sock] = gone;
    }
    p.entries.pop_back();
}

// One select over up to 64 entries from first; adds their events. A
// negative time-out waits for as long as it takes.
int select_slice(const WinPoller& p, std::size_t first, long timeout_us, SocketEvent* events,
                 int capacity, int stored)
{
    fd_set reads;
    fd_set writes;
    fd_set excepts;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&excepts);
    std::size_t end = std::min(p.entries.size(), first + FD_SETSIZE);
    for (std::size_t i = first; i < end; i++) {
        if (p.entries[i].interest.read)
            reads.fd_array[reads.fd_count++] = p.entries[i].sock;
        if (p.entries[i].interest.write)
            writes.fd_array[writes.fd_count++] = p.entries[i].sock;
        excepts.fd_array[excepts.fd_count++] = p.entries[i].sock;
    }
    timeval timeout{timeout_us / 1000000, timeout_us % 1000000};
    if (::select(0, &reads, &writes, &excepts, timeout_us < 0 ? nullptr : &timeout) == SOCKET_ERROR)
        return WSAGetLastError() == WSAEINTR ? stored : record_wsa_error();
    for (std::size_t i = first; i < end && stored < capacity; i++) {
        bool readable = FD_ISSET(p.entries[i].sock, &reads) != 0;
        bool writable = FD_ISSET(p.entries[i].sock, &writes) != 0;
        bool exception = FD_ISSET(p.entries[i].sock, &excepts) != 0;
        if (readable || writable || exception)
            events[stored++] = SocketEvent{p.entries[i].watcher, readable, writable, exception, false};
    }
    return stored;
}

// Up to 64 sockets, one select that sleeps the time-out. Beyond that each
// slice is looked at without waiting, from the one where the last wait ran
// out of room, and only when none is ready does the first slice wait; as
// the others cannot wake it, it sleeps no longer than the loop once always
// did.
constexpr long LONGEST_SLICE_SLEEP_US = 500;

int win_wait(poller_handle poller, SocketEvent* events, int capacity, long timeout_us)
{
    WinPoller& p = *poller_of(poller);
    if (p.entries.empty()) {
        // WinSock refuses a select over empty sets; wait out the time-out
        // instead (the loop always watches its wake-up, so never for ever).
        Sleep(timeout_us < 0 ? INFINITE : static_cast<DWORD>((timeout_us + 999) / 1000));
        return 0;
    }
    if (p.entries.size() <= FD_SETSIZE)
        return select_slice(p, 0, timeout_us, events, capacity, 0);
    std::size_t slices = (p.entries.size() + FD_SETSIZE - 1) / FD_SETSIZE;
    std::size_t slice = p.first_slice % slices;
    int stored = 0;
    for (std::size_t looked = 0; looked < slices; looked++, slice = (slice + 1) % slices) {
        if (stored == capacity)
            break;
        if ((stored = select_slice(p, slice * FD_SETSIZE, 0, events, capacity, stored)) < 0)
            return -1;
    }
    // A slice that filled the last room may have had more: it goes first
    // next time; else the next one does, so no slice always comes first.
    p.first_slice = stored == capacity ? (slice + slices - 1) % slices : (p.first_slice + 1) % slices;
    if (stored > 0 || timeout_us == 0)
        return stored;
    const long slice_sleep_us = timeout_us < 0 ? LONGEST_SLICE_SLEEP_US : std::min(timeout_us, LONGEST_SLICE_SLEEP_US);
    return select_slice(p, 0, slice_sleep_us, events, capacity, 0);
}

socket_handle win_accept(socket_handle listener, PeerAddress* peer)
{
    sockaddr_storage address{};
    int length = sizeof address;
    SOCKET sock = ::accept(native(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (sock == INVALID_SOCKET) {
        record_wsa_error();
        return INVALID_SOCKET_HANDLE;
    }
    store_peer(address, peer);
    // Every turn sends what it has; with Nagle's algorithm the second turn's
    // send would wait for the peer's delayed acknowledgement, up to 200 ms.
    // A socket that refuses it is no working connection: it is not taken.
    BOOL on = TRUE;
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) ==
        SOCKET_ERROR) {
        record_wsa_error();
        ::closesocket(sock);
        return INVALID_SOCKET_HANDLE;
    }
    return static_cast<socket_handle>(sock);
}

int win_recv(socket_handle sock, char* buffer, int size)
{
    int n = ::recv(native(sock), buffer, size, 0);
    return n == SOCKET_ERROR ? record_wsa_error() : n;
}

int win_send(socket_handle sock, const char* data, int size, int flags)
{
    int n = ::send(native(sock), data, size, flags);
    return n == SOCKET_ERROR ? record_wsa_error() : n;
}

int win_close(socket_handle sock)
{
    return ::closesocket(native(sock)) == SOCKET_ERROR ? record_wsa_error() : 0;
}

int win_set_nonblocking(socket_handle sock)
{
    u_long on = 1;
    return ::ioctlsocket(native(sock), FIONBIO, &on) == SOCKET_ERROR ? record_wsa_error() : 0;
}

std::int64_t win_monotonic_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}

CRITICAL_SECTION resolver_section;
CONDITION_VARIABLE resolver_signal = CONDITION_VARIABLE_INIT;
INIT_ONCE resolver_section_ready = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK start_resolver_section(INIT_ONCE*, void*, void**)
{
    InitializeCriticalSection(&resolver_section);
    return TRUE;
}

// What a worker thread is started with; freed by the thread itself.
struct WorkerStart {
    void (*run)(void*);
    void* argument;
};

DWORD WINAPI run_worker(void* start)
{
    const WorkerStart what = *static_cast<WorkerStart*>(start);
    delete static_cast<WorkerStart*>(start);
    what.run(what.argument);
    return 0;
}

constexpr PlatformCalls win_calls = {
    .now = win_now,
    .open_poller = win_open_poller,
    .close_poller = win_close_poller,
    .watch = win_watch,
    .unwatch = win_unwatch,
    .wait = win_wait,
    .accept = win_accept,
    .recv = win_recv,
    .send = win_send,
    .close = win_close,
    .set_nonblocking = win_set_nonblocking,
    .monotonic_ms = win_monotonic_ms,
    .lookup_start = resolver_lookup_start,
    .lookup_collect = resolver_lookup_collect,
    .lookup_cancel = resolver_lookup_cancel,
    .alloc = heap_alloc,
    .resize = heap_resize,
    .release = heap_release,
};

} // namespace

int record_socket_error()
{
    return record_wsa_error();
}

void resolver_lock()
{
    InitOnceExecuteOnce(&resolver_section_ready, start_resolver_section, nullptr, nullptr);
    EnterCriticalSection(&resolver_section);
}

void resolver_unlock()
{
    LeaveCriticalSection(&resolver_section);
}

void resolver_sleep()
{
    SleepConditionVariableCS(&resolver_signal, &resolver_section, INFINITE);
}

void resolver_wake_all()
{
    WakeAllConditionVariable(&resolver_signal);
}

bool resolver_start_worker(void (*run)(void*), void* argument)
{
    auto* start = new (std::nothrow) WorkerStart{run, argument};
    if (!start)
        return false;
    HANDLE thread = CreateThread(nullptr, 0, run_worker, start, 0, nullptr);
    if (!thread) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

const PlatformCalls platform_defaults = win_calls;
PlatformCalls platform = win_calls;

int sock_startup(std::uint16_t requested, std::uint16_t* granted)
{
    WSADATA data;
    int rc = ::WSAStartup(requested, &data);
    *granted = rc == 0 ? data.wVersion : 0;
    return rc;
}

void sock_cleanup()
{
    ::WSACleanup();
}

// SOMAXCONN lets WinSock choose its largest reasonable queue.
int sock_listen(socket_handle sock)
{
    return ::listen(native(sock), SOMAXCONN) == SOCKET_ERROR ? record_wsa_error() : 0;
}

void raise_descriptor_limit() {}

void keep_freed_memory_for_reuse() {}

void give_back_freed_memory() {}

std::string sock_error_text(int code)
{
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    // The system's sentence ends in a full stop and a line break.
    while (length > 0 && std::strchr(". \r\n", text[length - 1]))
        length--;
    if (length == 0)
        return "error " + std::to_string(code);
    return std::string(text, length);
}

void debug_output(const char* text)
{
    ::OutputDebugStringA(text);
}

void sleep_ms(unsigned milliseconds)
{
    ::Sleep(milliseconds);
}

int local_time(std::time_t t, std::tm* out)
{
    return localtime_s(out, &t) == 0 ? 1 : 0;
}

const char* const LOG_FILE_MODE = "a+t";
