// The documents the metrics port serves, made from the server as it
// stands: the Prometheus text whole, and the sessions a page at a time,
// written in pieces as the reader's socket takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Server;

// Sessions on a page when the request does not say, and at most.
constexpr std::size_t SESSIONS_PAGE_DEFAULT = 100;
constexpr std::size_t SESSIONS_PAGE_MAX = 1000;
// A piece ends with the entry that takes it past this many bytes. One
// entry is under 90 KB (its names and 64 addresses of 255 bytes, each byte
// written in at most 5), so a reader that never reads makes the server
// hold at most about 100 KB, whatever the page.
constexpr std::size_t SESSIONS_PIECE_BYTES = 16 * 1024;

// Where a page of /sessions stands between its pieces. Sessions come and go
// meanwhile: the page goes on from an accept number, not from a session.
struct SessionsPage {
    std::uint64_t from = 0; // the next entry is the first session accepted as this or later
    std::size_t left = 0;   // entries still to write
    bool opened = false;
    bool listed_any = false;
};

std::string metrics_document(const Server& server);

// The page a query asks for: "from=ID" (the first session's accept number,
// default 0), "limit=N" (default SESSIONS_PAGE_DEFAULT, at most
// SESSIONS_PAGE_MAX), either or both, in any order. False for a malformed
// query: another name, a value that is not a decimal number, a limit of 0.
bool sessions_page_from_query(std::string_view query, SessionsPage* page);

// Appends the next piece of the page: its entries until the piece passes
// SESSIONS_PIECE_BYTES or the page is whole, then the page's end. Returns
// whether more pieces follow. Costs a walk of the sessions before the
// piece's first, and the piece's entries with their listed addresses.
bool append_sessions_piece(const Server& server, SessionsPage& page, std::string& out);
