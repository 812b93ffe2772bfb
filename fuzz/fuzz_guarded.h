// A heap buffer between poisoned guards, for the fuzz targets' lanes: any
// access before or after it is an AddressSanitizer report, an empty one
// included (its pointer is the first guard element past the start).
#ifndef TROVA_FUZZ_GUARDED_H
#define TROVA_FUZZ_GUARDED_H

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <memory>

#include "trova_types.h"

namespace trova_fuzz {

constexpr std::size_t kGuard = 64;  // guard elements before and after every buffer

template <class T>
class Guarded {
public:
    Guarded(i64 n, T fill) : n_(n < 0 ? 0 : static_cast<std::size_t>(n)), mem_(new T[n_ + 2 * kGuard]) {
        for (std::size_t i = 0; i < n_; ++i) mem_[kGuard + i] = fill;
        ASAN_POISON_MEMORY_REGION(mem_.get(), kGuard * sizeof(T));
        ASAN_POISON_MEMORY_REGION(mem_.get() + kGuard + n_, kGuard * sizeof(T));
    }
    ~Guarded() { ASAN_UNPOISON_MEMORY_REGION(mem_.get(), (n_ + 2 * kGuard) * sizeof(T)); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    T* data() { return mem_.get() + kGuard; }
    std::size_t size() const { return n_; }
    T& operator[](std::size_t i) { return mem_[kGuard + i]; }

private:
    std::size_t n_;
    std::unique_ptr<T[]> mem_;
};

}  // namespace trova_fuzz

#endif  // TROVA_FUZZ_GUARDED_H
