// Block layouts of arenas and packed buffers. A layout is written once, as a
// sequence of blocks carved out of a base pointer; run over no base, the
// same code yields the total size, so a sizer and the kernel that reads its
// arena cannot disagree. Every count is overflow-checked: a layout whose
// blocks, derived dimensions or total do not fit in 64 bits is flagged
// instead of wrapping, and its sizers report it rather than a wrapped size.
//
// Built with TROVA_LAYOUT_GAPS, every non-empty block is followed by a gap of
// kGap elements that the sizers count like a block, so an overrun of one
// block cannot land silently in the next. Under AddressSanitizer the gaps
// are poisoned whenever a layout is carved over real memory, and the gaps an
// earlier layout over the same memory left inside a new block are reopened
// (only those: the sanitizer's own redzones stay, so a block that runs past
// its buffer is still reported). An overrun inside a lane is then reported
// like one past a heap allocation. An empty block gets no gap, so take(0)
// still marks where the rest of a lane begins.
#ifndef TROVA_COMMON_LAYOUT_H
#define TROVA_COMMON_LAYOUT_H

#include <cstddef>

#include "trova_types.h"

// The gaps are poisoned when AddressSanitizer is on (GCC says so with
// __SANITIZE_ADDRESS__, Clang through __has_feature).
#if defined(TROVA_LAYOUT_GAPS) && defined(__SANITIZE_ADDRESS__)
#define TROVA_LAYOUT_POISON 1
#elif defined(TROVA_LAYOUT_GAPS) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TROVA_LAYOUT_POISON 1
#endif
#endif
#ifdef TROVA_LAYOUT_POISON
#include <sanitizer/asan_interface.h>

#include <cstdint>
#endif

namespace trova::layout {

// Elements left after every non-empty block (0 in a normal build).
#ifdef TROVA_LAYOUT_GAPS
inline constexpr i64 kGap = 4;
#else
inline constexpr i64 kGap = 0;
#endif

// Marks the n elements at p as out of bounds for AddressSanitizer, those
// that are usable now: one the sanitizer guards already (past the end of a
// too short buffer) keeps its own mark. A no-op unless the gaps are
// poisoned.
inline void poison(const f64* p, i64 n) {
#ifdef TROVA_LAYOUT_POISON
    for (i64 i = 0; p != nullptr && i < n; ++i)
        if (!__asan_address_is_poisoned(p + i)) ASAN_POISON_MEMORY_REGION(p + i, sizeof(f64));
#else
    (void)p;
    (void)n;
#endif
}

#ifdef TROVA_LAYOUT_POISON
// Whether the sanitizer's shadow marks the granule at p as poisoned by hand
// (the shadow is read directly, so this one function is not instrumented).
__attribute__((no_sanitize_address)) inline bool user_poisoned(const void* p) {
    constexpr unsigned char kUserPoisoned = 0xf7;  // the shadow value of manually poisoned memory
    std::size_t scale = 0, shadow_offset = 0;
    __asan_get_shadow_mapping(&scale, &shadow_offset);
    return *reinterpret_cast<const unsigned char*>((reinterpret_cast<std::uintptr_t>(p) >> scale) + shadow_offset) ==
           kUserPoisoned;
}
#endif

// Makes the n elements at p usable again where a gap poisoned them, and
// only there: memory the sanitizer itself guards (a heap redzone, freed
// memory) stays guarded. A no-op unless the gaps are poisoned.
inline void reopen(const f64* p, i64 n) {
#ifdef TROVA_LAYOUT_POISON
    if (p == nullptr || n <= 0) return;
    char* at = reinterpret_cast<char*>(const_cast<f64*>(p));
    char* const end = at + static_cast<std::size_t>(n) * sizeof(f64);
    while (at < end && (at = static_cast<char*>(__asan_region_is_poisoned(at, end - at))) != nullptr) {
        if (!user_poisoned(at)) return;
        // Gaps are whole elements, so whole granules (an f64 is one).
        ASAN_UNPOISON_MEMORY_REGION(at, sizeof(f64));
        at += sizeof(f64);
    }
#else
    (void)p;
    (void)n;
#endif
}

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
        if constexpr (kGap > 0) {
            if (len > 0) {
                if (start != nullptr && !overflow_) {
                    reopen(start, len);
                    poison(start + len, kGap);
                }
                overflow_ |= __builtin_add_overflow(offset_, kGap, &offset_);
            }
        }
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

    // Offset of the next block, that is the size of the blocks (and their
    // gaps) so far.
    i64 offset() const { return offset_; }
    bool overflowed() const { return overflow_; }
    // The layout's size, with n_int integer elements beside the floats.
    Size size(i64 n_int = 0) const { return Size{offset_, n_int, overflow_}; }

private:
    f64* base_;
    i64 offset_ = 0;
    bool overflow_ = false;
};

// The size of the layout that blocks(carver) carves, run over no base.
template <class Blocks>
Size size_of(Blocks blocks) {
    Carver c;
    blocks(c);
    return c.size();
}

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
