// Block layouts of arenas and packed buffers. A layout is written once, as a
// sequence of blocks carved out of a base pointer; run over no base, the
// same code yields the total size, so a sizer and the kernel that reads its
// arena cannot disagree. Every count is overflow-checked: a layout whose
// blocks, derived dimensions or total do not fit in 64 bits is flagged
// instead of wrapping, and its sizers report it rather than a wrapped size.
#ifndef TROVA_COMMON_LAYOUT_H
#define TROVA_COMMON_LAYOUT_H

#include "trova_types.h"

namespace trova::layout {

// A sized layout: its float and integer element counts, and whether any
// count on the way left the 64-bit range (the counts are then meaningless).
struct Size {
    i64 n_float = 0;
    i64 n_int = 0;
    bool overflow = false;
};

// What the exported sizers return: {-1, -1} (or -1 for a single count) for a
// layout that does not fit in 64 bits, since no buffer can hold it.
inline arena_size native(const Size& s) {
    return s.overflow ? arena_size{-1, -1} : arena_size{s.n_float, s.n_int};
}
inline i64 native_count(const Size& s) { return s.overflow ? -1 : s.n_float; }

// Staged input followed by a work arena: float counts add, the integer
// count is the work's.
inline Size plus(const Size& input, const Size& work) {
    Size s{0, work.n_int, input.overflow || work.overflow};
    s.overflow |= __builtin_add_overflow(input.n_float, work.n_float, &s.n_float);
    return s;
}

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

    // Derived dimensions (a stacked state, a width plus one): computed in
    // 64 bits, flagging the layout when they wrap.
    i64 sum(i64 a, i64 b) {
        i64 r;
        overflow_ |= __builtin_add_overflow(a, b, &r);
        return r;
    }
    i64 difference(i64 a, i64 b) {
        i64 r;
        overflow_ |= __builtin_sub_overflow(a, b, &r);
        return r;
    }
    i64 product(i64 a, i64 b) {
        i64 r;
        overflow_ |= __builtin_mul_overflow(a, b, &r);
        return r;
    }

    // Offset of the next block, that is the size of the blocks so far.
    i64 offset() const { return offset_; }
    bool overflowed() const { return overflow_; }
    // The layout's size, with n_int integer elements beside the floats.
    Size size(i64 n_int = 0) const { return Size{offset_, n_int, overflow_}; }

private:
    f64* base_;
    i64 offset_ = 0;
    bool overflow_ = false;
};

// Bytes of a heap block of the product of the given counts of T, by the
// Carver's checked products: -1 when a count is negative or the byte count
// leaves 64 bits, so no allocation is ever asked for a wrapped size. A
// kernel also uses it to refuse dimensions for which its caller's buffers
// could not exist.
template <class T, class... Dims>
inline i64 block_bytes(Dims... dims) {
    if (((static_cast<i64>(dims) < 0) || ...)) return -1;
    Carver c;
    i64 bytes = static_cast<i64>(sizeof(T));
    ((bytes = c.product(bytes, static_cast<i64>(dims))), ...);
    return c.overflowed() ? -1 : bytes;
}

}  // namespace trova::layout

#endif  // TROVA_COMMON_LAYOUT_H
