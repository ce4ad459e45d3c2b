// Reverse look-ups of clients' addresses, off the loop: a few worker
// threads, and the queues between them and the loop.
#pragma once

#include "platform/platform.h"

// Its look-ups go through platform.lookup_start, lookup_collect and
// lookup_cancel. Each answer put in the queue signals wakeup (wakeup.h), so
// the loop need not look for answers while it sleeps. The workers start
// with the first look-up. Null when there is no memory: then no look-up
// starts, and clients are named by their addresses.
Resolver* resolver_open(socket_handle wakeup);

// The owner is done with it: no answer comes any more, and no wake-up. A
// worker in the middle of a look-up finishes it and then ends; the last
// one to leave frees what is left.
void resolver_close(Resolver* resolver);
