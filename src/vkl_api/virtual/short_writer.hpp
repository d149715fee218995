// The columns' writer of a plan's short runs, kept from one call to the next.
//
// A caller stepping in lockstep makes one short run per call, and each run's
// row goes to several dozen columns, each in a place of its own in memory:
// with a dozen actuators stepped in turn, those columns' records and ends no
// longer stay in the cache, and the row costs more than everything else in
// the call.  This writer keeps its cursors attached to the log's columns
// between calls and holds rows back in its stage (see tick::RowStage), so
// that a row is written to one small buffer and the columns receive their
// values a few lines at a time.
//
// The columns see no difference: any operation of an attached column stores
// the rows held back first (see tel::Column), whoever calls it and whenever.
//
// It holds no reference to the columns or their series: a column that is
// destroyed, reset or attached to another writer clears its cursor here
// (see tel::Column::attach), so a cursor that is set means its column is
// alive and attached to this writer.  Every live writer is listed, so that a
// run that needs the columns for a writer of its own can make this one let
// them go.
#pragma once

#include "core/row_stage.hpp"
#include "virtual/state.hpp"

#include <cstddef>
#include <cstdint>

namespace vkl::virt {

class ShortWriter {
public:
    ShortWriter();
    ~ShortWriter();
    ShortWriter(const ShortWriter &) = delete;
    ShortWriter &operator=(const ShortWriter &) = delete;

    // Attached to exactly the columns `want` (nothing is dereferenced).
    bool holds(tel::Column *const *want) const {
        for (int c = 0; c < kNumSeries; ++c)
            if (!cur_[c] || cols_[c] != want[c])
                return false;
        return true;
    }
    // Attached to any of the columns `cols`.
    bool holds_any(tel::Column *const *cols) const {
        for (int c = 0; c < kNumSeries; ++c)
            if (cur_[c] && cols_[c] == cols[c])
                return true;
        return false;
    }
    // Attach to `want` (live columns of one log; `narrow[c]`: one byte per
    // value), after letting go of any others.
    void take(tel::Column *const *want, const bool *narrow);
    // Let every column go (the first stores the rows held back).
    void release();
    // Room for one more row in every column, written through the cursors
    // (held back or not).  The columns are visited only when what the last
    // visit found may no longer hold: another row would not fit, or some
    // column's storage or contents changed anywhere since.  False, with
    // nothing done, when a column has left this writer meanwhile (a reset or
    // a destruction changes the storage, so a visit always looks).
    bool make_room() { return room_.fits(1, rows_) || visit(); }
    // The next row's words (see tick::RowStage::row), the log's row count
    // before it, and the row complete.
    uint64_t *row() { return stage_.row(); }
    size_t rows() const { return rows_; }
    void commit() {
        ++rows_;
        stage_.commit();
    }
    // Every live writer that holds any of `cols` lets them go.
    static void release_holders(tel::Column *const *cols);

private:
    bool visit();

    tel::Column *cols_[kNumSeries] = {};
    unsigned char *cur_[kNumSeries] = {};
    bool narrow_[kNumSeries] = {};
    tick::RowStage<kNumSeries> stage_{cur_, narrow_};
    size_t rows_ = 0; // the log's rows, those held back included
    tel::RoomRecord room_; // as the last visit found it
    ShortWriter *next_ = nullptr, *prev_ = nullptr; // the list of live writers
};

} // namespace vkl::virt
