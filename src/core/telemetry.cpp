#include "core/telemetry.hpp"

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#define VKL_TELEMETRY_MMAP 1
#endif

namespace vkl::telemetry {

namespace {

// Columns beyond this size live in anonymous mappings of their own: they
// grow by remapping pages (no copy), and transparent huge pages keep the
// cost of first touching new storage low.
constexpr size_t kMapThreshold = size_t(256) << 10;
constexpr size_t kMapGranule = size_t(2) << 20;
// Columns from this size up to kMapThreshold are heap blocks of a power of
// two bytes, moved to the next size as they grow (a mapping would hold a huge
// page for a column of a few pages).  Freed, they are pooled for the next
// columns, so that a log replaced by a fresh one fills storage already there:
// given back to malloc, they would return to the kernel (trimmed or unmapped)
// and be faulted and zeroed again.  The pool is bounded (kPoolBytes) and stays
// resident: marking its pages free to the kernel, as kept mappings are, costs
// more on every growth than it saves.
constexpr size_t kMidMin = size_t(16) << 10;
constexpr int kMidSizes = 5; // kMidMin, twice that, ... up to kMapThreshold
static_assert((kMidMin << (kMidSizes - 1)) == kMapThreshold);
constexpr size_t kPoolBytes = size_t(64) << 20;

size_t round_up(size_t n, size_t g) { return (n + g - 1) / g * g; }

size_t mid_bytes(size_t n) {
    size_t b = kMidMin;
    while (b < n)
        b *= 2;
    return b;
}

int mid_index(size_t bytes) {
    int i = 0;
    while ((kMidMin << i) < bytes)
        ++i;
    return i;
}

std::mutex pool_mutex;
std::vector<unsigned char *> pool[kMidSizes];
size_t pool_bytes = 0;

// A pooled block of at least `bytes` (a mid size) and at most kMidMin <<
// `largest`, the largest there is, into `got`; else a new one of `bytes`.  A
// column growing through the mid sizes asks for any size: a fresh log then
// takes the blocks the log it replaces left, at once, instead of copying its
// values through every size on the way to theirs (the blocks are resident
// already, so nothing more is used).
unsigned char *take_pooled(size_t bytes, int largest, size_t &got) {
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        for (int i = largest; i >= mid_index(bytes); --i) {
            auto &list = pool[i];
            if (!list.empty()) {
                unsigned char *base = list.back();
                list.pop_back();
                got = kMidMin << i;
                pool_bytes -= got;
                return base;
            }
        }
    }
    got = bytes;
    return static_cast<unsigned char *>(std::malloc(bytes));
}

void give_pooled(unsigned char *base, size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(pool_mutex);
        if (pool_bytes + bytes <= kPoolBytes) {
            try {
                pool[mid_index(bytes)].push_back(base);
                pool_bytes += bytes;
                return;
            } catch (std::bad_alloc &) {
            }
        }
    }
    std::free(base);
}

#if VKL_TELEMETRY_MMAP
unsigned char *map_bytes(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return static_cast<unsigned char *>(p);
}

// Mappings of freed columns are kept for the next columns (a log replaced by
// a fresh one, a simulation run again): reusing pages that are already there
// spares the kernel's faulting and zeroing of new ones.  Kept pages are
// marked free to the kernel, which takes them back under memory pressure (a
// reused page it took comes back zeroed, which is fine: storage beyond a
// column's length is never read).  Bounded in bytes and in number.
struct KeptMapping {
    unsigned char *base;
    size_t bytes;
};
constexpr size_t kKeepBytes = size_t(256) << 20;
constexpr size_t kKeepCount = 256;
std::mutex keep_mutex;
std::vector<KeptMapping> kept;
size_t kept_bytes = 0;

// A kept mapping of at least `bytes` (the smallest, and not more than four
// times the request), else a new one; `reused` tells which.
unsigned char *take_mapping(size_t bytes, size_t &got, bool &reused) {
    {
        std::lock_guard<std::mutex> lock(keep_mutex);
        size_t best = kept.size();
        for (size_t i = 0; i < kept.size(); ++i)
            if (kept[i].bytes >= bytes && kept[i].bytes / 4 <= bytes &&
                (best == kept.size() || kept[i].bytes < kept[best].bytes))
                best = i;
        if (best != kept.size()) {
            KeptMapping m = kept[best];
            kept[best] = kept.back();
            kept.pop_back();
            kept_bytes -= m.bytes;
            got = m.bytes;
            reused = true;
            return m.base;
        }
    }
    got = bytes;
    reused = false;
    return map_bytes(bytes);
}

void give_mapping(unsigned char *base, size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(keep_mutex);
        if (kept.size() < kKeepCount && kept_bytes + bytes <= kKeepBytes) {
            try {
                kept.push_back({base, bytes});
            } catch (std::bad_alloc &) {
                munmap(base, bytes);
                return;
            }
            kept_bytes += bytes;
#ifdef MADV_FREE
            madvise(base, bytes, MADV_FREE);
#endif
            return;
        }
    }
    munmap(base, bytes);
}
#endif

// Where a block of the given colour starts: a cache line further per colour
// in heap blocks, and in mappings also a little over half a page further, so
// the columns' rows also fall in different pages of their huge pages.
size_t heap_offset(unsigned color) { return size_t(color) * 64; }
size_t map_offset(unsigned color) { return size_t(color) * (2048 + 64); }

Block *new_block(size_t cap, size_t isz, unsigned color_idx) {
    auto *b = new Block();
    size_t color = heap_offset(color_idx);
    size_t bytes = cap * isz + color;
#if VKL_TELEMETRY_MMAP
    if (bytes > kMapThreshold) {
        color = map_offset(color_idx);
        bytes = round_up(cap * isz + color, kMapGranule);
        bool reused = false;
        b->base = take_mapping(bytes, bytes, reused);
        if (!b->base) {
            delete b;
            throw std::bad_alloc();
        }
        b->color = color;
        b->data = b->base + color;
        b->mapped = true;
        b->map_bytes = bytes;
        b->populated = reused ? bytes : 0;
        b->cap = (bytes - color) / isz;
        return b;
    }
#endif
    if (bytes >= kMidMin && bytes <= kMapThreshold) {
        size_t mid = mid_bytes(bytes);
        b->base = take_pooled(mid, mid_index(mid), bytes); // (of that size)
        b->pooled = bytes;
        cap = (bytes - color) / isz;
    } else {
        b->base = static_cast<unsigned char *>(std::malloc(bytes ? bytes : 1));
    }
    if (!b->base) {
        delete b;
        throw std::bad_alloc();
    }
    b->cap = cap;
    b->color = color;
    b->data = b->base + color;
    return b;
}

// The storage of a block, not the block.
void free_storage(Block *b) {
#if VKL_TELEMETRY_MMAP
    if (b->mapped)
        give_mapping(b->base, b->map_bytes);
    else
#endif
    if (b->pooled)
        give_pooled(b->base, b->pooled);
    else
        std::free(b->base);
}

void free_block(Block *b) {
    free_storage(b);
    delete b;
}

// Give up a block the column no longer uses: freed now, or by its last view.
void retire(Block *b) {
    if (!b)
        return;
    if (b->exports > 0)
        b->orphan = true;
    else
        free_block(b);
}

} // namespace

uint64_t storage_generation = 0;
uint64_t mutations = 0;
size_t attached_columns = 0;
uint64_t cursor_moves = 0;

void release_export(Block *b) {
    if (--b->exports == 0 && b->orphan)
        free_block(b);
}

namespace {
unsigned next_color = 0;
} // namespace

Column::Column(Kind k) : kind_(k), color_(next_color++ % 64) {}

Column::~Column() {
    if (cursor_) {
        // Destroyed under an attached writer (foreign code during a run of
        // native ticks): its rows held back go in first, as its operations
        // would have had them, and its cursor is cleared so that nothing is
        // stored into freed storage.
        store_pending();
        *cursor_ = nullptr;
        --attached_columns;
    }
    ++storage_generation;
    retire(blk_);
}

void Column::grow(size_t n) {
    ++storage_generation;
    size_t isz = item_size(kind_);
    size_t cap = capacity();
    // Small columns double (few copies); large ones move to a mapping below.
    size_t want = cap * 2 + 64;
    if (want < n)
        want = n;
    if (want > (SIZE_MAX / 2) / isz)
        throw std::bad_alloc();
#if VKL_TELEMETRY_MMAP
    bool large = blk_ && blk_->mapped && blk_->map_bytes >= kMapThreshold;
    if (blk_ && blk_->exports == 0 && large) {
        // Large: a quarter more each time, in whole granules, moved by the
        // kernel without copying.
        want = cap + cap / 4;
        if (want < n)
            want = n;
        size_t bytes = round_up(want * isz + blk_->color, kMapGranule);
        void *p = mremap(blk_->base, blk_->map_bytes, bytes, MREMAP_MAYMOVE);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        madvise(p, bytes, MADV_HUGEPAGE);
#endif
        blk_->base = static_cast<unsigned char *>(p);
        blk_->data = blk_->base + blk_->color;
        blk_->map_bytes = bytes;
        blk_->cap = (bytes - blk_->color) / isz;
        return;
    }
    if (blk_ && blk_->exports == 0 && want * isz + blk_->color > kMapThreshold) {
        // Out of the heap into a mapping.
        size_t color = map_offset(color_);
        size_t bytes = round_up(want * isz + color, kMapGranule);
        bool reused = false;
        unsigned char *p = take_mapping(bytes, bytes, reused);
        if (!p)
            throw std::bad_alloc();
        std::memcpy(p + color, blk_->data, len_ * isz);
        free_storage(blk_);
        blk_->base = p;
        blk_->mapped = true;
        blk_->pooled = 0;
        blk_->populated = reused ? bytes : round_up(color + len_ * isz, 4096);
        blk_->color = color;
        blk_->data = blk_->base + color;
        blk_->map_bytes = bytes;
        blk_->cap = (bytes - color) / isz;
        return;
    }
#endif
    if (blk_ && blk_->exports == 0 && want * isz + blk_->color >= kMidMin &&
        want * isz + blk_->color <= kMapThreshold) {
        // Into the next pooled size, or a larger one left in the pool.
        size_t bytes = 0;
        unsigned char *p = take_pooled(mid_bytes(want * isz + blk_->color), kMidSizes - 1, bytes);
        if (!p)
            throw std::bad_alloc();
        std::memcpy(p + blk_->color, blk_->data, len_ * isz);
        free_storage(blk_);
        blk_->base = p;
        blk_->pooled = bytes;
        blk_->data = blk_->base + blk_->color;
        blk_->cap = (bytes - blk_->color) / isz;
        return;
    }
    if (blk_ && blk_->exports == 0) {
        void *p = std::realloc(blk_->base, want * isz + blk_->color);
        if (!p)
            throw std::bad_alloc();
        blk_->pooled = 0; // (where there are no mappings, pooled blocks grow here)
        blk_->base = static_cast<unsigned char *>(p);
        blk_->data = blk_->base + blk_->color;
        blk_->cap = want;
        return;
    }
    Block *nb = new_block(want, isz, color_);
    if (blk_ && len_)
        std::memcpy(nb->data, blk_->data, len_ * isz);
    retire(blk_);
    blk_ = nb;
}

void Column::populate(size_t n) {
#if VKL_TELEMETRY_MMAP && defined(MADV_POPULATE_WRITE)
    // Taking the pages 256 KiB at a time costs one call instead of a page
    // fault per page; where the call is not supported, pages come by faults.
    size_t need = blk_->color + n * item_size(kind_);
    size_t from = blk_->populated;
    size_t to = round_up(need, size_t(256) << 10);
    if (to > blk_->map_bytes)
        to = blk_->map_bytes;
    if (to > from && madvise(blk_->base + from, to - from, MADV_POPULATE_WRITE) != 0)
        to = blk_->map_bytes;
    blk_->populated = to;
#else
    (void) n;
    blk_->populated = blk_->map_bytes;
#endif
}

void Column::detach_for_write() {
    if (blk_ && blk_->exports > 0) {
        ++storage_generation;
        size_t isz = item_size(kind_);
        Block *nb = new_block(blk_->cap, isz, color_);
        if (len_)
            std::memcpy(nb->data, blk_->data, len_ * isz);
        retire(blk_);
        blk_ = nb;
    }
}

void Column::erase(size_t i, size_t n) {
    sync();
    if (n == 0 || i >= len_)
        return;
    if (n > len_ - i)
        n = len_ - i;
    detach_for_write();
    size_t isz = item_size(kind_);
    std::memmove(blk_->data + i * isz, blk_->data + (i + n) * isz, (len_ - i - n) * isz);
    len_ -= n;
    changed();
}

Block *Column::export_block() {
    sync();
    if (!blk_) {
        grow(0);
        resync();
    }
    ++blk_->exports;
    return blk_;
}

void Column::reset() {
    sync(); // rows held back by a writer go in (and out) with the rest
    ++storage_generation;
    retire(blk_);
    blk_ = nullptr;
    len_ = 0;
    resync(); // an attached writer is let go (its cursor cleared)
    if (cursor_)
        --attached_columns;
    cursor_ = nullptr;
    rows_ = nullptr;
}

} // namespace vkl::telemetry
