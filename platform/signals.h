// The signals an operator sends, and Windows's console events that stand in
// for them.
//
// A handler can only set a flag and write to a descriptor (both
// async-signal-safe), so these are the process's own state, not a server's:
// there is one set of handlers per process.
#pragma once

#include "platform/platform.h"

// Installs every handler at once, before anything can be lost: SIGINT,
// SIGTERM and SIGQUIT (Ctrl-C, Ctrl-Break or closing the console on
// Windows) ask for a stop, SIGHUP for a reload; SIGUSR1, SIGUSR2, SIGPIPE
// and SIGXFSZ are ignored. The main loop looks at the requests once per
// turn.
void install_signal_handlers();
bool stop_requested();
// True once per reload asked for since the last call; requests that come
// before the loop looks are taken as one.
bool reload_requested();
// From now on a request also signals this wake-up (wakeup.h), so that a
// loop asleep without a deadline sees it at once.
void wake_on_signal(socket_handle wakeup);
