// Per-call heap work arrays of the model-solution kernels: every block a
// kernel takes is freed when the holder goes out of scope, on every path.
// Byte counts are overflow-checked: a count whose bytes do not fit in 64
// bits fails like an exhausted heap instead of allocating a wrapped size.
#ifndef TROVA_CORE_WORK_BLOCKS_H
#define TROVA_CORE_WORK_BLOCKS_H

#include <cstdlib>

#include "_common/layout.h"
#include "trova_types.h"

namespace trova_core {

class WorkBlocks {
public:
    WorkBlocks() = default;
    WorkBlocks(const WorkBlocks&) = delete;
    WorkBlocks& operator=(const WorkBlocks&) = delete;
    ~WorkBlocks() {
        for (int i = 0; i < n_; ++i) std::free(blocks_[i]);
    }

    // count elements of T (one when count < 1), or null when the heap is
    // exhausted or the byte count overflows; ok() then turns false.
    template <typename T>
    T* take(i64 count) {
        const i64 bytes = trova::layout::block_bytes<T>(count < 1 ? 1 : count);
        void* p = bytes < 0 ? nullptr : std::malloc(static_cast<std::size_t>(bytes));
        if (p == nullptr || n_ == kMax) {
            ok_ = false;
            std::free(p);
            return nullptr;
        }
        blocks_[n_++] = p;
        return static_cast<T*>(p);
    }

    bool ok() const { return ok_; }

private:
    static constexpr int kMax = 12;
    void* blocks_[kMax] = {};
    int n_ = 0;
    bool ok_ = true;
};

}  // namespace trova_core

#endif  // TROVA_CORE_WORK_BLOCKS_H
