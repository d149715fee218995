#include "core/telemetry.hpp"

#include <cstdlib>
#include <new>

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

size_t round_up(size_t n, size_t g) { return (n + g - 1) / g * g; }

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
#endif

Block *new_block(size_t cap, size_t isz) {
    auto *b = new Block();
    size_t bytes = cap * isz;
#if VKL_TELEMETRY_MMAP
    if (bytes >= kMapThreshold) {
        bytes = round_up(bytes, kMapGranule);
        b->data = map_bytes(bytes);
        if (!b->data) {
            delete b;
            throw std::bad_alloc();
        }
        b->mapped = true;
        b->map_bytes = bytes;
        b->populated = 0;
        b->cap = bytes / isz;
        return b;
    }
#endif
    b->cap = cap;
    b->data = static_cast<unsigned char *>(std::malloc(bytes ? bytes : 1));
    if (!b->data) {
        delete b;
        throw std::bad_alloc();
    }
    return b;
}

void free_block(Block *b) {
#if VKL_TELEMETRY_MMAP
    if (b->mapped)
        munmap(b->data, b->map_bytes);
    else
#endif
        std::free(b->data);
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

void release_export(Block *b) {
    if (--b->exports == 0 && b->orphan)
        free_block(b);
}

Column::~Column() { retire(blk_); }

void Column::grow(size_t n) {
    size_t isz = item_size(kind_);
    size_t cap = capacity();
    // Small columns double (few copies); large ones move to a mapping below.
    size_t want = cap * 2 + 64;
    if (want < n)
        want = n;
    if (want > (SIZE_MAX / 2) / isz)
        throw std::bad_alloc();
#if VKL_TELEMETRY_MMAP
    if (blk_ && blk_->exports == 0 && (blk_->mapped || want * isz >= kMapThreshold)) {
        // Large: a quarter more each time, in whole granules, moved by the
        // kernel without copying.
        want = cap + cap / 4;
        if (want < n)
            want = n;
        size_t bytes = round_up(want * isz, kMapGranule);
        if (blk_->mapped) {
            void *p = mremap(blk_->data, blk_->map_bytes, bytes, MREMAP_MAYMOVE);
            if (p == MAP_FAILED)
                throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
            madvise(p, bytes, MADV_HUGEPAGE);
#endif
            blk_->data = static_cast<unsigned char *>(p);
        } else {
            unsigned char *p = map_bytes(bytes);
            if (!p)
                throw std::bad_alloc();
            std::memcpy(p, blk_->data, len_ * isz);
            std::free(blk_->data);
            blk_->data = p;
            blk_->mapped = true;
            blk_->populated = round_up(len_ * isz, 4096);
        }
        blk_->map_bytes = bytes;
        blk_->cap = bytes / isz;
        return;
    }
#endif
    if (blk_ && blk_->exports == 0) {
        void *p = std::realloc(blk_->data, want * isz);
        if (!p)
            throw std::bad_alloc();
        blk_->data = static_cast<unsigned char *>(p);
        blk_->cap = want;
        return;
    }
    Block *nb = new_block(want, isz);
    if (blk_ && len_)
        std::memcpy(nb->data, blk_->data, len_ * isz);
    retire(blk_);
    blk_ = nb;
}

void Column::populate(size_t n) {
#if VKL_TELEMETRY_MMAP && defined(MADV_POPULATE_WRITE)
    // Taking the pages 256 KiB at a time costs one call instead of a page
    // fault per page; where the call is not supported, pages come by faults.
    size_t need = n * item_size(kind_);
    size_t from = blk_->populated;
    size_t to = round_up(need, size_t(256) << 10);
    if (to > blk_->map_bytes)
        to = blk_->map_bytes;
    if (to > from && madvise(blk_->data + from, to - from, MADV_POPULATE_WRITE) != 0)
        to = blk_->map_bytes;
    blk_->populated = to;
#else
    (void) n;
    blk_->populated = blk_->map_bytes;
#endif
}

void Column::detach_for_write() {
    if (blk_ && blk_->exports > 0) {
        size_t isz = item_size(kind_);
        Block *nb = new_block(blk_->cap, isz);
        if (len_)
            std::memcpy(nb->data, blk_->data, len_ * isz);
        retire(blk_);
        blk_ = nb;
    }
}

void Column::erase(size_t i, size_t n) {
    if (n == 0 || i >= len_)
        return;
    if (n > len_ - i)
        n = len_ - i;
    detach_for_write();
    size_t isz = item_size(kind_);
    std::memmove(blk_->data + i * isz, blk_->data + (i + n) * isz, (len_ - i - n) * isz);
    len_ -= n;
}

Block *Column::export_block() {
    if (!blk_)
        grow(0);
    ++blk_->exports;
    return blk_;
}

void Column::reset() {
    retire(blk_);
    blk_ = nullptr;
    len_ = 0;
}

} // namespace vkl::telemetry
