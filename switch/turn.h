#pragma once

#include "switch/receive.h"
#include "switch/route.h"
#include "switch/server.h"

// Rounds of the input pass one turn may run while whole input waits: enough
// to relay all a session can hold (the input limit in the shortest frames
// that are relayed, "a b " and a check byte, which is the third field, after
// its two dialogue lines), so a turn takes everything whole that was read,
// and its work stays bounded by the input limit of each session.
constexpr int INPUT_ROUNDS_PER_TURN = RX_LIMIT / 5 + 3;
// The rounds also stop once a receiver's output holds this much: many
// senders' whole reads in one turn must not fill a reader's queue that a
// turn's send would have kept below its limit.
constexpr std::uint32_t ROUNDS_OUTPUT_MAX = OUTPUT_QUEUE_LIMIT / 4;

// While a sender floods the switch, its reads are relayed for up to this
// many turns before an output pass, as long as no receiver's output queue
// holds this many bytes.
constexpr int FLOOD_TURNS_DEFERRED_MAX = 4;
constexpr std::uint32_t FLOOD_OUTPUT_DEFERRED_MAX = 32768;
// Meanwhile its log lines go to the file once this many bytes of them wait,
// or this long after the first turn that kept them, whichever comes first.
constexpr std::size_t FLOOD_LOG_HELD_MAX = 262144;
constexpr std::int64_t FLOOD_LOG_HELD_MS_MAX = 50;

// One turn of the loop: wait for and read the sockets, take steps of input
// in rounds of one per session, send what is queued, then write the turn's
// log lines.
void serve_one_turn(Server& server);
