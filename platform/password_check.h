// Password verifications on a worker thread of their own. One verification
// holds a core for tens of milliseconds by design; done on the loop, a
// stream of logins from many addresses would freeze the switch.
#pragma once

#include "platform/platform.h"

#include <string_view>

struct PasswordCheckResult {
    void* owner; // what the check was started with
    bool accepted;
};

// One worker and its queue; one per server.
struct PasswordChecker;

// Each answer put in the queue signals wakeup (wakeup.h), so the loop need
// not look for answers while it sleeps. The worker starts with the first
// check. Null when there is no memory.
PasswordChecker* password_checker_open(socket_handle wakeup);

// The owner is done with it: waiting checks are dropped, no answer comes any
// more. Waits for the worker to finish the check in hand, if any, and end.
void password_checker_close(PasswordChecker* checker);

// Queues the verification of password against the stored hash field (see
// password_hash.h) for owner. The queue is first come, first served, with
// one worker, so logins can never take more than one core; it holds what
// the caller puts in it, and the caller bounds that (the switch: one check
// per session in its login dialogue). False when no worker can be started
// or there is no memory: then nothing is queued.
bool password_check_start(PasswordChecker* checker, std::string_view password, std::string_view stored,
                          void* owner);

// Stores up to capacity finished checks; returns their count.
int password_check_collect(PasswordChecker* checker, PasswordCheckResult* results, int capacity);

// Nobody wants the answer for owner any more: a waiting check is dropped,
// a running one's answer is thrown away.
void password_check_cancel(PasswordChecker* checker, void* owner);
