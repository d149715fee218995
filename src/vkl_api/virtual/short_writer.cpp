#include "virtual/short_writer.hpp"

#include <algorithm>

namespace vkl::virt {

namespace {

// Every live writer (see release_holders).  Process-wide, as the columns
// they write are: any actuator's run may need any log's columns.
ShortWriter *g_writers = nullptr;

} // namespace

ShortWriter::ShortWriter() {
    next_ = g_writers;
    if (next_)
        next_->prev_ = this;
    g_writers = this;
}

ShortWriter::~ShortWriter() {
    release();
    if (prev_)
        prev_->next_ = next_;
    else
        g_writers = next_;
    if (next_)
        next_->prev_ = prev_;
}

void ShortWriter::take(tel::Column *const *want, const bool *narrow) {
    release();
    std::copy(want, want + kNumSeries, cols_);
    std::copy(narrow, narrow + kNumSeries, narrow_);
    for (int c = 0; c < kNumSeries; ++c)
        cols_[c]->attach(&cur_[c], &stage_);
    room_.known = false;
}

void ShortWriter::release() {
    for (int c = 0; c < kNumSeries; ++c)
        if (cur_[c]) {
            cols_[c]->detach();
            cur_[c] = nullptr;
        }
    room_.known = false;
}

bool ShortWriter::visit() {
    for (int c = 0; c < kNumSeries; ++c)
        if (!cur_[c])
            return false;
    // Each column's length reads through its cursor and stores the rows held
    // back first.
    size_t least = SIZE_MAX;
    for (int c = 0; c < kNumSeries; ++c) {
        tel::Column *col = cols_[c];
        col->ensure(col->size() + 1);
        least = std::min(least, col->spare());
    }
    rows_ = cols_[kTfbIndex]->size();
    room_.found(rows_, least);
    return true;
}

void ShortWriter::release_holders(tel::Column *const *cols) {
    for (ShortWriter *w = g_writers; w;) {
        ShortWriter *next = w->next_; // (releasing runs no code that could free writers)
        if (w->holds_any(cols))
            w->release();
        w = next;
    }
}

} // namespace vkl::virt
