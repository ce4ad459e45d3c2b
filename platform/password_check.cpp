// The worker shares the background look-ups' lock: the queue is touched
// only briefly, never while a hash is computed.
#include "platform/password_check.h"

#include "platform/password_hash.h"
#include "platform/resolver_backend.h"
#include "platform/wakeup.h"

#include <algorithm>
#include <deque>
#include <new>
#include <string>
#include <vector>

namespace {

// The password's bytes do not outlive the check.
void wipe(std::string& text)
{
    std::fill(text.begin(), text.end(), '\0');
}

} // namespace

// Shared by its owner (a server) and its worker (WorkerShare).
struct PasswordChecker {
    struct Check {
        std::string password;
        std::string stored;
        void* owner;
    };

    explicit PasswordChecker(socket_handle wakeup) : share(wakeup) {}
    // No password outlives its check, or the checker.
    ~PasswordChecker()
    {
        for (Check& check : waiting)
            wipe(check.password);
    }
    WorkerShare share;
    std::deque<Check> waiting;
    std::vector<PasswordCheckResult> done;
    void* running_owner = nullptr; // of the check in progress, if any
    bool running_cancelled = false;
    bool worker_started = false;
    bool worker_running = false;
};

namespace {

void work(void* argument)
{
    auto* c = static_cast<PasswordChecker*>(argument);
    resolver_lock();
    for (;;) {
        while (c->waiting.empty() && !c->share.owner_gone)
            resolver_sleep();
        if (c->share.owner_gone)
            break;
        PasswordChecker::Check check = std::move(c->waiting.front());
        c->waiting.pop_front();
        c->running_owner = check.owner;
        c->running_cancelled = false;
        resolver_unlock();

        PasswordCheckResult result{check.owner, password_hash_verify(check.password, check.stored)};
        wipe(check.password);

        resolver_lock();
        c->running_owner = nullptr;
        try {
            if (!c->running_cancelled && !c->share.owner_gone) {
                c->done.push_back(result);
                wakeup_signal(c->share.wakeup);
            }
        } catch (const std::bad_alloc&) {
            // The session waits out its dialogue deadline instead.
        }
    }
    // What the hashing library keeps for this thread goes before the owner,
    // who waits for it, can end the process.
    resolver_unlock();
    password_hash_thread_done();
    resolver_lock();
    leave_queue(c);
    resolver_wake_all();
    resolver_unlock();
}

} // namespace

PasswordChecker* password_checker_open(socket_handle wakeup)
{
    return new (std::nothrow) PasswordChecker(wakeup);
}

// A check ends within its tens of milliseconds: its worker is waited for.
void password_checker_close(PasswordChecker* c)
{
    close_queue(c, true);
}

bool password_check_start(PasswordChecker* c, std::string_view password, std::string_view stored, void* owner)
{
    if (!c)
        return false;
    resolver_lock();
    if (!c->worker_started) {
        c->worker_started = true;
        c->share.holders++;
        c->worker_running = resolver_start_worker(work, c);
        if (!c->worker_running)
            c->share.holders--;
    }
    bool queued = c->worker_running;
    try {
        if (queued)
            c->waiting.push_back(PasswordChecker::Check{std::string(password), std::string(stored), owner});
    } catch (const std::bad_alloc&) {
        queued = false;
    }
    resolver_unlock();
    if (queued)
        resolver_wake_all();
    return queued;
}

int password_check_collect(PasswordChecker* c, PasswordCheckResult* results, int capacity)
{
    return c ? take_finished(c->done, results, capacity) : 0;
}

// Costs a walk of the waiting checks.
void password_check_cancel(PasswordChecker* c, void* owner)
{
    if (!c)
        return;
    resolver_lock();
    for (PasswordChecker::Check& check : c->waiting)
        if (check.owner == owner)
            wipe(check.password);
    std::erase_if(c->waiting, [owner](const PasswordChecker::Check& q) { return q.owner == owner; });
    if (c->running_owner == owner)
        c->running_cancelled = true;
    std::erase_if(c->done, [owner](const PasswordCheckResult& r) { return r.owner == owner; });
    resolver_unlock();
}
