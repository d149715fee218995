#include "core/telemetry.hpp"

#include <cstdlib>
#include <new>

namespace vkl::telemetry {

namespace {

Block *new_block(size_t cap, size_t isz) {
    auto *b = new Block();
    b->cap = cap;
    b->data = static_cast<unsigned char *>(std::malloc(cap * isz ? cap * isz : 1));
    if (!b->data) {
        delete b;
        throw std::bad_alloc();
    }
    return b;
}

void free_block(Block *b) {
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
    // Small growth factor: realloc of large blocks remaps pages rather than
    // copying, and the log is unbounded, so slack matters more than copies.
    size_t want = cap + cap / 8 + 64;
    if (want < n)
        want = n;
    if (want > (SIZE_MAX / 2) / isz)
        throw std::bad_alloc();
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
