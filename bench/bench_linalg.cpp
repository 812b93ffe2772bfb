// Dense kernels against single-threaded OpenBLAS in the same binary.
// Products report GFLOP/s (2 n^3 flops per square product) as the "flops"
// counter, so the trova and cblas rows of one size compare directly.
#include <benchmark/benchmark.h>
#include <cblas.h>
#include <f77blas.h>

#include <random>
#include <vector>

#include "trova_linalg.h"

namespace {

std::vector<f64> random_matrix(i64 rows, i64 cols, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<f64> u(-1.0, 1.0);
    std::vector<f64> x(static_cast<std::size_t>(rows * cols));
    for (f64& v : x) v = u(gen);
    return x;
}

// A symmetric positive definite n x n matrix: X^T X / n plus the identity.
std::vector<f64> spd_matrix(i64 n, unsigned seed) {
    const std::vector<f64> X = random_matrix(2 * n, n, seed);
    std::vector<f64> S(static_cast<std::size_t>(n * n));
    trova_gram(X.data(), S.data(), 2 * n, n);
    for (i64 i = 0; i < n; ++i) S[i * n + i] += 1.0;
    return S;
}

enum class Orient { AB, ABt, AtB };

void set_flops(benchmark::State& state, f64 flops_per_call) {
    state.counters["flops"] =
        benchmark::Counter(flops_per_call, benchmark::Counter::kIsIterationInvariantRate);
}

template <Orient O>
void BM_trova_product(benchmark::State& state) {
    const i64 n = state.range(0);
    const std::vector<f64> A = random_matrix(n, n, 1), B = random_matrix(n, n, 2);
    std::vector<f64> C(static_cast<std::size_t>(n * n));
    for (auto _ : state) {
        if (O == Orient::AB) trova_matmul(A.data(), B.data(), C.data(), n, n, n);
        if (O == Orient::ABt) trova_matmul_abt(A.data(), B.data(), C.data(), n, n, n);
        if (O == Orient::AtB) trova_matmul_atb(A.data(), B.data(), C.data(), n, n, n);
        benchmark::DoNotOptimize(C.data());
        benchmark::ClobberMemory();
    }
    set_flops(state, 2.0 * n * n * n);
}

template <Orient O>
void BM_cblas_product(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<f64> A = random_matrix(n, n, 1), B = random_matrix(n, n, 2);
    std::vector<f64> C(static_cast<std::size_t>(n) * n);
    const CBLAS_TRANSPOSE ta = O == Orient::AtB ? CblasTrans : CblasNoTrans;
    const CBLAS_TRANSPOSE tb = O == Orient::ABt ? CblasTrans : CblasNoTrans;
    for (auto _ : state) {
        cblas_dgemm(CblasRowMajor, ta, tb, n, n, n, 1.0, A.data(), n, B.data(), n, 0.0,
                    C.data(), n);
        benchmark::DoNotOptimize(C.data());
        benchmark::ClobberMemory();
    }
    set_flops(state, 2.0 * n * n * n);
}

void BM_trova_chol(benchmark::State& state) {
    const i64 n = state.range(0);
    const std::vector<f64> S = spd_matrix(n, 3);
    std::vector<f64> L(static_cast<std::size_t>(n * n));
    for (auto _ : state) {
        benchmark::DoNotOptimize(trova_chol(S.data(), 0.0, L.data(), n));
        benchmark::ClobberMemory();
    }
    set_flops(state, n * n * n / 3.0);
}

void BM_lapack_potrf(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<f64> S = spd_matrix(n, 3);
    std::vector<f64> L(S.size());
    for (auto _ : state) {
        L = S;
        blasint info = 0;
        char uplo = 'U';  // the upper factor of the column-major view is our lower one
        blasint nn = n;
        dpotrf_(&uplo, &nn, L.data(), &nn, &info);
        benchmark::DoNotOptimize(info);
        benchmark::ClobberMemory();
    }
    set_flops(state, n * n * n / 3.0);
}

// LU solve of one right-hand side: the one-call solve (it copies A and the
// factor's arrays come from the heap), the in-place factor and solve on
// preallocated buffers, and LAPACK's dgesv (in place, column-major: it
// solves with the transpose of the row-major matrix, the same work).
void BM_trova_solve(benchmark::State& state) {
    const i64 n = state.range(0);
    std::vector<f64> A = random_matrix(n, n, 5), b = random_matrix(n, 1, 6), x(static_cast<std::size_t>(n));
    for (i64 i = 0; i < n; ++i) A[i * n + i] += n;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trova_solve(A.data(), b.data(), n, 1, x.data()));
        benchmark::ClobberMemory();
    }
    set_flops(state, 2.0 * n * n * n / 3.0);
}

void BM_trova_lu_inplace(benchmark::State& state) {
    const i64 n = state.range(0);
    std::vector<f64> A = random_matrix(n, n, 5), b = random_matrix(n, 1, 6), x(static_cast<std::size_t>(n));
    for (i64 i = 0; i < n; ++i) A[i * n + i] += n;
    std::vector<f64> LU(A.size());
    std::vector<i64> piv(static_cast<std::size_t>(n));
    for (auto _ : state) {
        LU = A;
        trova_lu_factor_inplace(LU.data(), piv.data(), n);
        trova_lu_solve(LU.data(), piv.data(), b.data(), x.data(), n, 1);
        benchmark::ClobberMemory();
    }
    set_flops(state, 2.0 * n * n * n / 3.0);
}

void BM_lapack_gesv(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<f64> A = random_matrix(n, n, 5), b = random_matrix(n, 1, 6);
    for (int i = 0; i < n; ++i) A[i * n + i] += n;
    std::vector<f64> LU(A.size()), x(b.size());
    std::vector<blasint> piv(static_cast<std::size_t>(n));
    for (auto _ : state) {
        LU = A;
        x = b;
        blasint nn = n, one = 1, info = 0;
        dgesv_(&nn, &one, LU.data(), &nn, piv.data(), x.data(), &nn, &info);
        benchmark::DoNotOptimize(info);
        benchmark::ClobberMemory();
    }
    set_flops(state, 2.0 * n * n * n / 3.0);
}

void BM_trova_gram(benchmark::State& state) {
    const i64 n = state.range(0), p = state.range(1);
    const std::vector<f64> X = random_matrix(n, p, 4);
    std::vector<f64> G(static_cast<std::size_t>(p * p));
    for (auto _ : state) {
        trova_gram(X.data(), G.data(), n, p);
        benchmark::DoNotOptimize(G.data());
        benchmark::ClobberMemory();
    }
    set_flops(state, static_cast<f64>(n) * p * (p + 1));
}

void BM_cblas_syrk(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0)), p = static_cast<int>(state.range(1));
    const std::vector<f64> X = random_matrix(n, p, 4);
    std::vector<f64> G(static_cast<std::size_t>(p) * p);
    for (auto _ : state) {
        cblas_dsyrk(CblasRowMajor, CblasLower, CblasTrans, p, n, 1.0, X.data(), p, 0.0,
                    G.data(), p);
        benchmark::DoNotOptimize(G.data());
        benchmark::ClobberMemory();
    }
    set_flops(state, static_cast<f64>(n) * p * (p + 1));
}

void square_sizes(benchmark::internal::Benchmark* b) { b->Arg(8)->Arg(32)->Arg(128); }
void gram_shapes(benchmark::internal::Benchmark* b) { b->Args({200, 8})->Args({500, 32}); }

BENCHMARK(BM_trova_product<Orient::AB>)->Name("matmul/trova")->Apply(square_sizes);
BENCHMARK(BM_cblas_product<Orient::AB>)->Name("matmul/cblas")->Apply(square_sizes);
BENCHMARK(BM_trova_product<Orient::ABt>)->Name("matmul_abt/trova")->Apply(square_sizes);
BENCHMARK(BM_cblas_product<Orient::ABt>)->Name("matmul_abt/cblas")->Apply(square_sizes);
BENCHMARK(BM_trova_product<Orient::AtB>)->Name("matmul_atb/trova")->Apply(square_sizes);
BENCHMARK(BM_cblas_product<Orient::AtB>)->Name("matmul_atb/cblas")->Apply(square_sizes);
BENCHMARK(BM_trova_chol)->Name("chol/trova")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(BM_lapack_potrf)->Name("chol/lapack")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(BM_trova_solve)->Name("solve/trova_one_call")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(BM_trova_lu_inplace)->Name("solve/trova_inplace")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(BM_lapack_gesv)->Name("solve/lapack_dgesv")->Arg(8)->Arg(32)->Arg(128);
BENCHMARK(BM_trova_gram)->Name("gram/trova")->Apply(gram_shapes);
BENCHMARK(BM_cblas_syrk)->Name("gram/cblas_syrk")->Apply(gram_shapes);

}  // namespace

int main(int argc, char** argv) {
    openblas_set_num_threads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
