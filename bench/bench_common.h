// Shared by the benchmarks: one core's measured clock and the counters of a
// per-period kernel.
#ifndef TROVA_BENCH_COMMON_H
#define TROVA_BENCH_COMMON_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

namespace trova_bench {

// The clock measured rather than read from the system: a chain of dependent
// integer additions retires one per cycle, so its rate is the frequency the
// core actually runs at (turbo included), which the FMA peak depends on.
inline double measured_ghz() {
    static const double ghz = [] {
        double best = 0.0;
        for (int rep = 0; rep < 5; ++rep) {
            std::uint64_t x = 1;
            const long n = 50000000;
            const auto t0 = std::chrono::steady_clock::now();
            for (long i = 0; i < n; ++i) __asm__ volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const double g = 4.0 * static_cast<double>(n) / s * 1e-9;
            if (g > best) best = g;
        }
        return best;
    }();
    return ghz;
}

// Double-precision flops per cycle of one core with 4-wide vectors and two
// fused multiply-add pipes.
constexpr double kFlopsPerCycle = 16.0;

// Counters of a kernel that runs `periods` periods per iteration:
// "per_period" (time per period), "GFLOPs" and "of_peak" (that rate over
// one core's FMA peak at the measured clock; a plain ratio, although the
// library prints it as a rate).
inline void report_periods(benchmark::State& state, double periods, double flops_per_period) {
    state.counters["per_period"] = benchmark::Counter(
        periods, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["GFLOPs"] =
        benchmark::Counter(periods * flops_per_period * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    const double peak = kFlopsPerCycle * measured_ghz();
    state.counters["of_peak"] = benchmark::Counter(periods * flops_per_period * 1e-9 / peak,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace trova_bench

#endif  // TROVA_BENCH_COMMON_H
