// The link that joins this switch to the other switches of its cluster
// through a NATS server: connecting, publishing a frame with its origin,
// subscribing to subjects, and what the connection has to tell the loop.
// nats.c is seen here only; a build without it has the same calls, which
// fail with the reason.
//
// nats.c runs threads of its own: it connects and reconnects, keeps its
// timers, frees its messages and, in a build without its message hook,
// hands each message to a delivery thread. None of them touches the switch. What they have to say (a message, another socket or interest
// to watch, the link going down or up) is queued here, and the loop is woken
// to take it; every call below is made on the loop's thread and none of
// them waits for the network.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// False where this build has no NATS client; cluster_link_unavailable_reason()
// then says why ("" where it has one).
bool cluster_link_available();
const char* cluster_link_unavailable_reason();

// The host's name, which names a switch to the others unless it is told
// another; "" where it cannot be had.
std::string cluster_host_name();

struct ClusterLinkSettings {
    // One or more server URLs, comma-separated: nats://HOST:PORT, tls://...,
    // a user and password in a URL where the server asks for them.
    std::string servers;
    // A NATS .creds file (a user's JWT and seed), or empty.
    std::string credentials_file;
    // PEM certificates of the CAs that sign the servers' (tls:// URLs), or
    // empty for the system's.
    std::string ca_file;
    // Names this switch to the NATS server and in every frame it publishes.
    std::string node_name;
    // The most bytes held for the cluster each way: published and not yet
    // written to the connection, and received and not yet taken by the
    // loop. Past it a frame is dropped, and counted.
    std::size_t buffer_bytes = 0;
    // Called from any thread when the loop has something to take; it must
    // only wake the loop, and is not called once the link has closed.
    std::function<void()> wake;
};

// The header that names the switch a frame was published by.
constexpr const char* ORIGIN_HEADER = "Qm-Origin";

// What the link has to tell the loop, in the order it happened.
enum class LinkNoticeKind {
    up,     // connected; text: the server's URL, without its user and password
    down,   // not connected, and trying; text: the reason
    closed, // given up for good; text: the reason
    slow,   // the library dropped messages the loop did not take in time
    error,  // the server refused something (a permission); text: what it said
};

struct LinkNotice {
    LinkNoticeKind kind = LinkNoticeKind::down;
    std::string text;
};

// The socket the loop watches for the link, and what for. The socket is the
// link's own, and stays open until the next change or the link's end.
struct LinkWatch {
    socket_handle socket = INVALID_SOCKET_HANDLE;
    bool read = false;
    bool write = false;
};

// A message from a subscription: a frame published by another switch.
struct LinkMessage {
    std::string_view subject;
    std::string_view data;
};

enum class LinkPublish {
    sent,        // taken by the library, to be written
    buffer_full, // the bytes not yet written reached their bound
    down,        // the connection cannot take it
};

// What subscribe returns: 0 is none.
using LinkSubscription = std::uintptr_t;
constexpr LinkSubscription NO_SUBSCRIPTION = 0;

class ClusterLink {
public:
    virtual ~ClusterLink() = default;

    // Whether the link is connected, so that the calls below that reach the
    // connection return at once. While it connects or reconnects, nats.c
    // holds the connection through each try (a TCP connect and a handshake,
    // seconds against a server that takes the connection and never speaks),
    // and publish, buffered_bytes, subscribe and unsubscribe would wait as
    // long: they are made only while this is true.
    virtual bool connected() = 0;

    // When the socket or interest to watch changed since the last call:
    // true, with the new one (an invalid socket for none).
    virtual bool watch_changed(LinkWatch& watch) = 0;
    // The watched socket is readable (or failed), or writable; a report
    // that comes once the link is not connected is let pass.
    virtual void socket_readable() = 0;
    virtual void socket_writable() = 0;

    // The next notice, oldest first; false when there is none.
    virtual bool next_notice(LinkNotice& notice) = 0;
    // Hands up to most received messages to take, oldest first, and
    // returns how many. Messages of every subscription come in the order
    // they came off the connection.
    virtual std::size_t take_messages(std::size_t most,
                                      const std::function<void(const LinkMessage&)>& take) = 0;

    // Publishes data on subject with the origin header.
    virtual LinkPublish publish(const std::string& subject, std::string_view data) = 0;
    // Bytes published and not yet written to the connection.
    virtual std::size_t buffered_bytes() = 0;

    // Subscribes to subject (wildcards allowed) in this switch's own queue
    // group, so that a message matching several of its subscriptions comes
    // once; nats.c subscribes again by itself after each reconnect.
    // NO_SUBSCRIPTION when the library refused, or had no memory.
    virtual LinkSubscription subscribe(const std::string& subject) = 0;
    virtual void unsubscribe(LinkSubscription subscription) = 0;

    // Messages dropped on their way to the loop, by the library or because
    // the loop held buffer_bytes of them already, since the start.
    virtual std::uint64_t messages_dropped() = 0;
};

// Starts connecting (off the loop) and returns at once: a server that is
// down or slow to answer is retried for ever, and said in a notice.
// nullptr, with the reason in *error, when the settings cannot work (a
// build without a NATS client, a server list that does not parse).
std::unique_ptr<ClusterLink> cluster_link_open(const ClusterLinkSettings& settings,
                                               std::string* error);
