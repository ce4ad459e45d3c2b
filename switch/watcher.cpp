#include "switch/watcher.h"

#include "switch/server.h"

bool watch(Server& server, Watcher& watcher, Interest interest)
{
    if (watcher.watched && watcher.interest == interest)
        return true;
    if (platform.watch(server.poller, watcher.socket, interest, &watcher) != 0)
        return false;
    watcher.watched = true;
    watcher.interest = interest;
    return true;
}

void unwatch(Server& server, Watcher& watcher)
{
    if (!watcher.watched)
        return;
    platform.unwatch(server.poller, watcher.socket);
    watcher.watched = false;
}

void close_watched_socket(Server& server, Watcher& watcher)
{
    if (watcher.socket == INVALID_SOCKET_HANDLE)
        return;
    unwatch(server, watcher);
    platform.close(watcher.socket);
    watcher.socket = INVALID_SOCKET_HANDLE;
}
