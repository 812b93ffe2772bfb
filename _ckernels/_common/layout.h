// Block layouts of arenas and packed buffers. A layout is written once, as a
// sequence of blocks carved out of a base pointer; run over no base, the
// same code yields the total size, so a sizer and the kernel that reads its
// arena cannot disagree. Element counts are overflow-checked: a layout whose
// blocks or total do not fit in 64 bits is flagged instead of wrapping.
#ifndef TROVA_COMMON_LAYOUT_H
#define TROVA_COMMON_LAYOUT_H

#include "trova_types.h"

namespace trova::layout {

class Carver {
public:
    explicit Carver(f64* base = nullptr) : base_(base) {}
    explicit Carver(const f64* base) : base_(const_cast<f64*>(base)) {}

    // Reserves the next block, of the product of the given counts, and
    // returns its start (null when only sizing).
    template <class... Dims>
    f64* take(Dims... dims) {
        i64 len = 1;
        ((overflow_ |= __builtin_mul_overflow(len, static_cast<i64>(dims), &len)), ...);
        f64* start = base_ != nullptr ? base_ + offset_ : nullptr;
        overflow_ |= __builtin_add_overflow(offset_, len, &offset_);
        return start;
    }

    // Reserves the next block like take() and returns its offset.
    template <class... Dims>
    i64 at(Dims... dims) {
        const i64 start = offset_;
        take(dims...);
        return start;
    }

    // Offset of the next block, that is the size of the blocks so far.
    i64 offset() const { return offset_; }
    bool overflowed() const { return overflow_; }

private:
    f64* base_;
    i64 offset_ = 0;
    bool overflow_ = false;
};

}  // namespace trova::layout

#endif  // TROVA_COMMON_LAYOUT_H
