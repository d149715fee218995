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
    size_t pooled = 0;    // a heap block of a pooled size: its bytes
    size_t map_bytes = 0; // length of the mapping
    size_t populated = 0; // bytes of the mapping already backed by memory
    size_t color = 0;     // data = base + color (see Column)
    unsigned char *base = nullptr; // what was allocated
    unsigned char *data = nullptr;
};

// Drop one buffer view of `b`; frees an orphaned block with its last view.
void release_export(Block *b);

// Counts every change of any column's storage (growth, moves, resets,
// destruction).  Code holding a column pointer and a guaranteed capacity
// across foreign code reads it before and after: equal means both still hold.
extern uint64_t storage_generation;
// Counts every other change made through a column's own operations (appends,
// stores, removals); see Column's native row writers.
extern uint64_t mutations;
// Columns attached to a row writer now, anywhere: none means no column is
// (a caller about to write columns of its own need not look at each).
extern size_t attached_columns;
// Counts every column attached to a writer or let go by one (its destruction
// and reset change the storage generation): with both counters unchanged,
// every writer's cursors are set as they were.
extern uint64_t cursor_moves;

// What a row writer found when it last visited its columns: room for `rows`
// more rows in every one from the log's row `from`, standing while no
// column's storage or contents changed anywhere since (see Column's native
// row writers).
struct RoomRecord {
    bool known = false;
    uint64_t storage = 0, changes = 0;
    size_t from = 0, rows = 0;

    // Room for `n` more rows after the log's row `now`.
    bool fits(size_t n, size_t now) const {
        return known && storage == storage_generation && changes == mutations && rows >= n + (now - from);
    }
    void found(size_t now, size_t least) { *this = {true, storage_generation, mutations, now, least}; }
};

// A row writer that holds rows back before storing them through the cursors
// of its columns (see Column's native row writers).  Every operation of an
// attached column first asks it to store what it holds, so the rows held
// back are in before anything else reads or changes the column, exactly as
// if each had been stored as it came.
class PendingRows {
public:
    bool pending = false; // rows are held back
    // Store every row held back, through the cursors, without any operation
    // of the columns (room for them was made before they were taken).
    virtual void store_pending() = 0;

protected:
    ~PendingRows() = default;
};

class Column {
public:
    explicit Column(Kind k);
    ~Column();
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;

    Kind kind() const { return kind_; }
    size_t size() const {
        if (!cursor_)
            return len_;
        store_pending();
        return items_in((size_t) (*cursor_ - blk_->data));
    }
    size_t capacity() const { return blk_ ? blk_->cap : 0; }
    size_t bytes_allocated() const { return capacity() * item_size(kind_); }

    // Capacity for at least n elements in total (geometric growth), without
    // backing the pages of a mapping yet.  A writer that knows how many rows
    // are coming takes the storage they will end in at once, sparing the
    // copies through each size on the way; ensure() then backs what its next
    // rows need.
    void reserve(size_t n) {
        if (!blk_ || n > blk_->cap) {
            sync();
            grow(n);
            resync();
        }
    }
    // Make room for at least n elements in total, backed.
    void ensure(size_t n) {
        reserve(n);
        if (blk_->mapped && n * item_size(kind_) + blk_->color > blk_->populated)
            populate(n);
    }

    void push_double(double v) {
        uint64_t w;
        std::memcpy(&w, &v, 8);
        push_word(w);
    }
    void push_int(int64_t v) { push_word((uint64_t) v); }
    void push_bool(bool v) { push_word(v ? 1 : 0); }

    double get_double(size_t i) const { double v; std::memcpy(&v, blk_->data + i * 8, 8); return v; }
    int64_t get_int(size_t i) const { int64_t v; std::memcpy(&v, blk_->data + i * 8, 8); return v; }
    bool get_bool(size_t i) const { return blk_->data[i] != 0; }
    void set_double(size_t i, double v) { std::memcpy(blk_->data + i * 8, &v, 8); ++mutations; }
    void set_int(size_t i, int64_t v) { std::memcpy(blk_->data + i * 8, &v, 8); ++mutations; }
    void set_bool(size_t i, bool v) { blk_->data[i] = v ? 1 : 0; ++mutations; }

    // Remove the elements [i, i+n) (moving the tail down).
    void erase(size_t i, size_t n);
    void clear() { erase(0, size()); }

    // Start a buffer view: returns the block it reads (never null).
    Block *export_block();
    // Give up the storage (e.g. when the series changes its representation).
    void reset();
    // An empty column takes another kind (its storage is given up, as by
    // reset(), so views and an attached writer see a change of storage).
    void retype(Kind k) {
        reset();
        kind_ = k;
    }

    // ---- Native row writers ----------------------------------------------
    // A writer that appends a value to many columns per row (the simulated
    // actuator's tick loop) keeps one cursor per column: the address of the
    // column's next element, advanced by the writer as it stores (8 bytes, or
    // 1 for a boolean column).  While attached, the cursor is the column's
    // end: size() reads it, and every other operation first takes the length
    // from it and afterwards moves it to the new end (and into a moved
    // block), so code running between the writer's rows sees and changes the
    // column as if each value had been appended.  The writer may store
    // without checks only where ensure() made room and nothing else has run
    // since: operations that change the storage bump storage_generation, any
    // other change bumps `mutations`.  A writer that holds rows back names
    // itself (`rows`): every operation stores them first.  A column taken by
    // another writer, reset or destroyed clears the cursor it leaves, so a
    // writer whose cursor is still set knows its column is alive and its own.
    void attach(unsigned char **slot, PendingRows *rows = nullptr) {
        if (cursor_ == slot) {
            rows_ = rows;
            return;
        }
        sync();
        if (!blk_)
            grow(0);
        if (!cursor_)
            ++attached_columns;
        else
            *cursor_ = nullptr; // the writer it leaves sees it is no longer its own
        ++cursor_moves;
        cursor_ = slot;
        rows_ = rows;
        resync();
    }
    void detach() {
        sync();
        if (cursor_) {
            --attached_columns;
            ++cursor_moves;
        }
        cursor_ = nullptr;
        rows_ = nullptr;
    }
    bool attached() const { return cursor_ != nullptr; }
    bool attached_to(unsigned char *const *slot) const { return cursor_ == slot; }
    // Values that fit after the end without growing the storage or backing
    // new pages (an attached writer counts on them between its checks).
    size_t spare() const {
        if (!blk_)
            return 0;
        size_t cap = blk_->cap;
        if (blk_->mapped) {
            size_t backed = blk_->populated > blk_->color ? items_in(blk_->populated - blk_->color) : 0;
            cap = backed < cap ? backed : cap;
        }
        size_t len = size();
        return cap > len ? cap - len : 0;
    }

private:
    // Append one value as a 64-bit pattern (a double's bits, an int64, or 0/1
    // for a boolean column).
    void push_word(uint64_t w) {
        sync();
        if (!blk_ || len_ == blk_->cap)
            grow(len_ + 1);
        unsigned char *at = blk_->data + len_ * item_size(kind_);
        if (kind_ == Kind::Bool)
            *at = (unsigned char) w;
        else
            std::memcpy(at, &w, 8);
#if defined(__GNUC__)
        // Rows are appended one value per column across many columns: ask
        // for the line a few values ahead (a prefetch never faults).
        __builtin_prefetch(at + 128, 1, 3);
#endif
        ++len_;
        changed();
    }
    void sync() {
        if (cursor_) {
            store_pending();
            len_ = items_in((size_t) (*cursor_ - blk_->data));
        }
    }
    // The values in `bytes` of storage (a shift, not a division: rows ask
    // for the length of dozens of columns at a time).
    size_t items_in(size_t bytes) const { return kind_ == Kind::Bool ? bytes : bytes >> 3; }
    void store_pending() const {
        if (rows_ && rows_->pending)
            rows_->store_pending();
    }
    void resync() {
        if (cursor_)
            *cursor_ = blk_ ? blk_->data + len_ * item_size(kind_) : nullptr;
    }
    void changed() {
        ++mutations;
        resync();
    }
    void grow(size_t n);
    void populate(size_t n); // back the mapping ahead of the writes, in large steps
    void detach_for_write(); // make sure no live view sees in-place changes

    Kind kind_;
    // Columns are filled side by side, one value each per row: their storage
    // starts at different offsets (the column's colour, 0..63) so the rows
    // being written do not all compete for the same cache sets and memory
    // banks.
    unsigned color_;
    Block *blk_ = nullptr;
    size_t len_ = 0;
    unsigned char **cursor_ = nullptr; // an attached writer's cursor
    PendingRows *rows_ = nullptr;      // its rows held back, if it holds any
};

} // namespace vkl::telemetry
