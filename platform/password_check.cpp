// The worker shares the background look-ups' lock and wake-up: the queue is
// touched only briefly, never while a hash is computed.
#include "platform/password_check.h"

#include "platform/password_hash.h"
#include "platform/resolver_backend.h"

#include <algorithm>
#include <deque>
#include <new>
#include <string>
#include <vector>

namespace {

struct Check {
    std::string password;
    std::string stored;
    void* owner;
};

// Created once and never destroyed: the worker outlives every caller.
struct Checker {
    std::deque<Check> waiting;
    std::vector<PasswordCheckResult> done;
    void* running_owner = nullptr; // of the check in progress, if any
    bool running_cancelled = false;
    bool worker_started = false;
    bool worker_running = false;
};

Checker& checker()
{
    static Checker* instance = new Checker;
    return *instance;
}

// The password's bytes do not outlive the check.
void wipe(std::string& text)
{
    std::fill(text.begin(), text.end(), '\0');
}

void work()
{
    Checker& c = checker();
    resolver_lock();
    for (;;) {
        while (c.waiting.empty())
            resolver_sleep();
        Check check = std::move(c.waiting.front());
        c.waiting.pop_front();
        c.running_owner = check.owner;
        c.running_cancelled = false;
        resolver_unlock();

        PasswordCheckResult result{check.owner, password_hash_verify(check.password, check.stored)};
        wipe(check.password);

        resolver_lock();
        c.running_owner = nullptr;
        try {
            if (!c.running_cancelled)
                c.done.push_back(result);
        } catch (const std::bad_alloc&) {
            // The session waits out its dialogue deadline instead.
        }
    }
}

} // namespace

bool password_check_start(std::string_view password, std::string_view stored, void* owner)
{
    Checker& c = checker();
    resolver_lock();
    if (!c.worker_started) {
        c.worker_started = true;
        c.worker_running = resolver_start_worker(work);
    }
    bool queued = c.worker_running;
    try {
        if (queued)
            c.waiting.push_back(Check{std::string(password), std::string(stored), owner});
    } catch (const std::bad_alloc&) {
        queued = false;
    }
    resolver_unlock();
    if (queued)
        resolver_wake_all();
    return queued;
}

int password_check_collect(PasswordCheckResult* results, int capacity)
{
    return take_finished(checker().done, results, capacity);
}

// Costs a walk of the waiting checks.
void password_check_cancel(void* owner)
{
    Checker& c = checker();
    resolver_lock();
    for (Check& check : c.waiting)
        if (check.owner == owner)
            wipe(check.password);
    std::erase_if(c.waiting, [owner](const Check& q) { return q.owner == owner; });
    if (c.running_owner == owner)
        c.running_cancelled = true;
    std::erase_if(c.done, [owner](const PasswordCheckResult& r) { return r.owner == owner; });
    resolver_unlock();
}
