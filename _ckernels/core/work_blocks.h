// Per-call heap work arrays of the model-solution kernels: every block a
// kernel takes is freed when the holder goes out of scope, on every path.
#ifndef TROVA_CORE_WORK_BLOCKS_H
#define TROVA_CORE_WORK_BLOCKS_H

#include <cstdlib>

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
    // exhausted; ok() then turns false.
    template <typename T>
    T* take(i64 count) {
        void* p = std::malloc(sizeof(T) * static_cast<size_t>(count < 1 ? 1 : count));
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
    static constexpr int kMax = 8;
    void* blocks_[kMax] = {};
    int n_ = 0;
    bool ok_ = true;
};

}  // namespace trova_core

#endif  // TROVA_CORE_WORK_BLOCKS_H
