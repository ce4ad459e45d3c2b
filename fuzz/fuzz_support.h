// Shared by the fuzz targets: a hard check that stops the run with a message
// (libFuzzer then keeps the input), a small deterministic generator that an
// input byte seeds, and a quiet event log for targets that reach it.
#pragma once

#include <cstddef>
#include <cstdint>

// Prints what failed and aborts, so the fuzzer or the replay driver reports
// the input that broke the invariant.
void fuzz_require(bool holds, const char* what);

// xorshift32: the same sizes and choices for the same input, everywhere.
class FuzzRandom {
public:
    explicit FuzzRandom(std::uint32_t seed) : state(seed * 2654435761u | 1u) {}
    std::uint32_t next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    // A piece size from 1 to max, mostly small so one-byte pieces are common.
    std::size_t piece(std::size_t max);

private:
    std::uint32_t state;
};

// Moves into a fresh scratch directory where the event log cannot be opened
// (its name is taken by a directory) and sends standard output to the null
// device: millions of runs must not fill the disk with log lines.
void quiet_event_log();
