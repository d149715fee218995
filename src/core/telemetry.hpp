// Typed telemetry columns: one growable array of doubles, 64-bit integers or
// booleans per series.  Storage that is exported (a buffer view held by a
// caller) is never moved or freed under the view: when a column has to grow
// while views of it exist, it moves to a new block and the old block lives
// on until its last view is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vkl::telemetry {

enum class Kind : uint8_t { Float, Int, Bool };

inline size_t item_size(Kind k) { return k == Kind::Bool ? 1 : 8; }
inline const char *buffer_format(Kind k) { return k == Kind::Float ? "d" : k == Kind::Int ? "q" : "?"; }

struct Block {
    size_t cap = 0;       // elements
    int exports = 0;      // live buffer views
    bool orphan = false;  // no longer the column's storage
    bool mapped = false;  // anonymous mapping (large columns) rather than malloc
    size_t map_bytes = 0; // length of the mapping
    size_t populated = 0; // bytes of the mapping already backed by memory
    unsigned char *data = nullptr;
};

// Drop one buffer view of `b`; frees an orphaned block with its last view.
void release_export(Block *b);

class Column {
public:
    explicit Column(Kind k) : kind_(k) {}
    ~Column();
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;

    Kind kind() const { return kind_; }
    size_t size() const { return len_; }
    size_t capacity() const { return blk_ ? blk_->cap : 0; }
    size_t bytes_allocated() const { return capacity() * item_size(kind_); }

    // Make room for at least n elements in total (geometric growth).
    void ensure(size_t n) {
        if (!blk_ || n > blk_->cap)
            grow(n);
        if (blk_->mapped && n * item_size(kind_) > blk_->populated)
            populate(n);
    }

    void push_double(double v) {
        if (!blk_ || len_ == blk_->cap)
            grow(len_ + 1);
        std::memcpy(blk_->data + len_ * 8, &v, 8);
        ++len_;
    }
    void push_int(int64_t v) {
        if (!blk_ || len_ == blk_->cap)
            grow(len_ + 1);
        std::memcpy(blk_->data + len_ * 8, &v, 8);
        ++len_;
    }
    void push_bool(bool v) {
        if (!blk_ || len_ == blk_->cap)
            grow(len_ + 1);
        blk_->data[len_] = v ? 1 : 0;
        ++len_;
    }

    // Append n values given as 64-bit patterns (a double's bits, an int64, or
    // 0/1 for a boolean column), read `stride` words apart.
    void push_words(const uint64_t *src, size_t stride, size_t n) {
        ensure(len_ + n);
        if (kind_ == Kind::Bool) {
            unsigned char *d = blk_->data + len_;
            for (size_t i = 0; i < n; ++i)
                d[i] = src[i * stride] ? 1 : 0;
        } else {
            unsigned char *d = blk_->data + len_ * 8;
            if (stride == 1)
                std::memcpy(d, src, n * 8);
            else
                for (size_t i = 0; i < n; ++i)
                    std::memcpy(d + i * 8, &src[i * stride], 8);
        }
        len_ += n;
    }

    double get_double(size_t i) const { double v; std::memcpy(&v, blk_->data + i * 8, 8); return v; }
    int64_t get_int(size_t i) const { int64_t v; std::memcpy(&v, blk_->data + i * 8, 8); return v; }
    bool get_bool(size_t i) const { return blk_->data[i] != 0; }
    void set_double(size_t i, double v) { std::memcpy(blk_->data + i * 8, &v, 8); }
    void set_int(size_t i, int64_t v) { std::memcpy(blk_->data + i * 8, &v, 8); }
    void set_bool(size_t i, bool v) { blk_->data[i] = v ? 1 : 0; }

    // Remove the elements [i, i+n) (moving the tail down).
    void erase(size_t i, size_t n);
    void clear() { erase(0, len_); }

    // Start a buffer view: returns the block it reads (never null).
    Block *export_block();
    // Give up the storage (e.g. when the series changes its representation).
    void reset();

private:
    void grow(size_t n);
    void populate(size_t n); // back the mapping ahead of the writes, in large steps
    void detach_for_write(); // make sure no live view sees in-place changes

    Kind kind_;
    Block *blk_ = nullptr;
    size_t len_ = 0;
};

} // namespace vkl::telemetry
