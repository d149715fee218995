// Rows of a run of native ticks, held back a few at a time and then stored
// column by column.
//
// A tick appends one value to each of several dozen columns.  Stored as they
// come, the values go to as many places in memory, each store to a cache line
// the processor must first fetch: the row costs more than the twin's step.
// Gathered here instead, a row is written to one small buffer that stays in
// the cache; every kRows rows each column receives its values in one
// contiguous run of whole lines, written past the cache (the log is read long
// after it is written, if at all), which halves the memory traffic and needs
// no fetch.
//
// The columns see no difference: the stage is their writer's PendingRows, so
// any operation of a column stores the rows held back first (see
// telemetry::Column).  Worth it on long runs only: a run that ends after a
// few ticks (a feedback callback due soon) would write its last lines partly
// past the cache, and is better served by storing each value as it comes.
#pragma once

#include "core/telemetry.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define VKL_ROW_STAGE_STREAM 1
#endif

namespace vkl::tick {

// Ask for the cache line at `line` for writing: PREFETCHW (a no-op hint on
// processors without it).  A prefetch never faults, whatever the address.
inline void prefetch_for_write(const void *line) {
#if defined(__GNUC__) && defined(__x86_64__)
    __asm__ volatile("prefetchw %0" ::"m"(*(const char *) line));
#elif defined(__GNUC__)
    __builtin_prefetch(line, 1, 3);
#else
    (void) line;
#endif
}

template <size_t N>
class RowStage final : public telemetry::PendingRows {
public:
    static constexpr int kRows = 32;

    // `cur`: the columns' write cursors (attached with this stage as their
    // PendingRows); `narrow[c]`: column c holds one byte per value (booleans).
    RowStage(unsigned char **cur, const bool *narrow) : cur_(cur), narrow_(narrow) {}
    RowStage(const RowStage &) = delete;
    RowStage &operator=(const RowStage &) = delete;

    // The next row's values, one 64-bit word per column: a double's bits, an
    // int64, or 0/1 for a boolean column.  Complete it with commit().
    uint64_t *row() { return w_[n_]; }
    void commit() {
        pending = true;
        if (++n_ == kRows)
            store_pending();
    }

    void store_pending() override {
        const int n = n_;
        n_ = 0;
        pending = false;
        if (n == 0)
            return;
        bool streamed = false;
        // The line each column's rows end in part-way (the run's last rows)
        // is written the ordinary way and must first be fetched: asked for
        // now, it comes while the whole lines are stored.
        for (size_t c = 0; c < N; ++c)
            if (unsigned char *p = cur_[c]) {
                uintptr_t end = (uintptr_t) (p + (narrow_[c] ? n : 8 * n));
                if (end & 63)
                    prefetch_for_write((const void *) (end & ~(uintptr_t) 63));
            }
        for (size_t c = 0; c < N; ++c) {
            unsigned char *p = cur_[c];
            if (!p)
                continue; // the column was given up (its rows with it)
            if (narrow_[c]) {
                for (int j = 0; j < n; ++j)
                    p[j] = (unsigned char) w_[j][c];
                cur_[c] = p + n;
                continue;
            }
            int j = 0;
#if VKL_ROW_STAGE_STREAM
            if (((uintptr_t) p & 7) == 0) {
                // Only whole lines go past the cache: a line written in part
                // that way would be written out in pieces.
                int head = (int) ((64 - ((uintptr_t) p & 63)) & 63) / 8;
                int body_end = head + (n - head) / 8 * 8;
                if (head < n && body_end > head) {
                    for (; j < head; ++j)
                        std::memcpy(p + 8 * j, &w_[j][c], 8);
                    for (; j < body_end; ++j)
                        _mm_stream_si64((long long *) (p + 8 * j), (long long) w_[j][c]);
                    streamed = true;
                }
            }
#endif
            for (; j < n; ++j)
                std::memcpy(p + 8 * j, &w_[j][c], 8);
            cur_[c] = p + 8 * n;
        }
#if VKL_ROW_STAGE_STREAM
        // Streaming stores are weakly ordered: make them visible before
        // anything that follows (another thread reading the log after the
        // interpreter lock changes hands, included).
        if (streamed)
            _mm_sfence();
#endif
    }

private:
    unsigned char **cur_;
    const bool *narrow_;
    int n_ = 0;
    alignas(64) uint64_t w_[kRows][N];
};

} // namespace vkl::tick
