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

// Shared by its owner (a server) and its worker, and freed by whichever of
// them leaves last: a hash in progress cannot be stopped, so the owner
// does not wait for it.
struct PasswordChecker {
    struct Check {
        std::string password;
        std::string stored;
        void* owner;
    };

    explicit PasswordChecker(socket_handle wakeup) : wakeup(wakeup) {}
    std::deque<Check> waiting;
    std::vector<PasswordCheckResult> done;
    void* running_owner = nullptr; // of the check in progress, if any
    bool running_cancelled = false;
    bool worker_started = false;
    bool worker_running = false;
    // Signalled when an answer is put in done, while the owner is there.
    socket_handle wakeup;
    bool owner_gone = false;
    int holders = 1; // the owner and the worker while it runs
};

namespace {

// Called with the lock held; frees the checker once nobody holds it.
void let_go(PasswordChecker* c)
{
    if (--c->holders > 0)
        return;
    for (PasswordChecker::Check& check : c->waiting)
        wipe(check.password);
    delete c;
}

void work(void* argument)
{
    auto* c = static_cast<PasswordChecker*>(argument);
    resolver_lock();
    for (;;) {
        while (c->waiting.empty() && !c->owner_gone)
            resolver_sleep();
        if (c->owner_gone)
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
            if (!c->running_cancelled && !c->owner_gone) {
                c->done.push_back(result);
                wakeup_signal(c->wakeup);
            }
        } catch (const std::bad_alloc&) {
            // The session waits out its dialogue deadline instead.
        }
    }
    let_go(c);
    resolver_unlock();
}

} // namespace

PasswordChecker* password_checker_open(socket_handle wakeup)
{
    return new (std::nothrow) PasswordChecker(wakeup);
}

void password_checker_close(PasswordChecker* c)
{
    if (!c)
        return;
    resolver_lock();
    c->owner_gone = true;
    let_go(c);
    resolver_unlock();
    resolver_wake_all();
}

bool password_check_start(PasswordChecker* c, std::string_view password, std::string_view stored, void* owner)
{
    if (!c)
        return false;
    resolver_lock();
    if (!c->worker_started) {
        c->worker_started = true;
        c->holders++;
        c->worker_running = resolver_start_worker(work, c);
        if (!c->worker_running)
            c->holders--;
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
