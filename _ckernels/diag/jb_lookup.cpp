// The finite-sample table of Jarque-Bera critical values and its two
// interpolating look-ups: statistic to p-value and p-value to critical value.
// Interpolation is linear in the sample size and in the probability (or the
// statistic), with no logarithmic scales; values beyond a grid clamp to its
// end row or column.
#include <cfloat>
#include <cmath>

#include "regression/regression_internal.h"
#include "trova_diag.h"

extern "C" {

const f64 JB_N_GRID[TROVA_JB_N_COUNT] = {10, 20, 35, 50, 75, 100, 150, 200, 300, 500, 800, 1000, 1600, 2400, 10000};

const f64 JB_PVAL_GRID[TROVA_JB_PVAL_COUNT] = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05, 0.1, 0.15,
                                               0.2,    0.3,    0.4,   0.5,   0.6,  0.7,  0.8, 0.85,
                                               0.9,    0.95,   0.99,  0.995, 0.999, 0.9995, 0.9999};

// Row i: P(JB > c) = JB_PVAL_GRID[i]; column j: n = JB_N_GRID[j].
const f64 JB_CV[TROVA_JB_PVAL_COUNT][TROVA_JB_N_COUNT] = {
    {15.345, 46.996, 66.612, 71.734, 69.91, 68.032, 60.632, 54.736, 47.572, 38.847, 33.247, 31.213, 26.956, 24.249, 19.94},  // p = 0.0001
    {12.444, 31.159, 40.759, 43.256, 41.909, 40.43, 37.229, 34.33, 30.561, 26.27, 23.045, 21.979, 19.76, 18.366, 16.052},  // p = 0.0005
    {10.995, 24.97, 31.969, 33.753, 32.738, 31.84, 29.547, 27.551, 24.83, 21.812, 19.521, 18.736, 17.15, 16.083, 14.397},  // p = 0.001
    {7.304, 13.471, 16.414, 17.281, 17.305, 16.959, 16.257, 15.638, 14.669, 13.583, 12.726, 12.366, 11.762, 11.384, 10.792},  // p = 0.005
    {5.7029, 9.7182, 11.736, 12.392, 12.586, 12.491, 12.185, 11.882, 11.358, 10.778, 10.299, 10.117, 9.8095, 9.6084, 9.3128},  // p = 0.01
    {2.5247, 3.7954, 4.5929, 4.9757, 5.2777, 5.43, 5.5984, 5.6758, 5.7732, 5.8551, 5.9103, 5.9242, 5.9569, 5.9671, 5.9857},  // p = 0.05
    {1.6232, 2.347, 2.8814, 3.1834, 3.4862, 3.6734, 3.9041, 4.0327, 4.1891, 4.3317, 4.4274, 4.4568, 4.5132, 4.5424, 4.5888},  // p = 0.1
    {1.2826, 1.823, 2.2533, 2.5094, 2.7713, 2.939, 3.1416, 3.258, 3.4003, 3.5312, 3.6198, 3.6507, 3.7016, 3.7309, 3.7778},  // p = 0.15
    {1.1236, 1.5623, 1.9162, 2.1278, 2.3463, 2.4865, 2.6558, 2.7559, 2.8764, 2.9882, 3.0645, 3.0909, 3.136, 3.1611, 3.2036},  // p = 0.2
    {0.9389, 1.2516, 1.4997, 1.6466, 1.7975, 1.8944, 2.0112, 2.0807, 2.1639, 2.2427, 2.2962, 2.3153, 2.346, 2.365, 2.3968},  // p = 0.3
    {0.8077, 1.036, 1.2115, 1.3128, 1.4165, 1.4828, 1.5619, 1.6087, 1.6649, 1.7175, 1.7547, 1.7679, 1.7889, 1.8024, 1.8248},  // p = 0.4
    {0.695, 0.8574, 0.9771, 1.0447, 1.1126, 1.1563, 1.2076, 1.2385, 1.2752, 1.3101, 1.3338, 1.342, 1.3568, 1.3655, 1.3808},  // p = 0.5
    {0.5885, 0.6948, 0.7699, 0.8114, 0.8529, 0.88, 0.9105, 0.9292, 0.9518, 0.9732, 0.9882, 0.9931, 1.0024, 1.0085, 1.0181},  // p = 0.6
    {0.4801, 0.5378, 0.5769, 0.5985, 0.6202, 0.6348, 0.6508, 0.661, 0.673, 0.6851, 0.694, 0.6965, 0.7018, 0.7056, 0.7108},  // p = 0.7
    {0.3618, 0.3777, 0.3896, 0.3969, 0.4046, 0.4105, 0.4168, 0.4213, 0.4267, 0.4325, 0.4368, 0.4376, 0.4402, 0.4421, 0.4451},  // p = 0.8
    {0.295, 0.2938, 0.2958, 0.2982, 0.301, 0.3044, 0.3071, 0.3096, 0.313, 0.3163, 0.3189, 0.3194, 0.3209, 0.3221, 0.3245},  // p = 0.85
    {0.2192, 0.2047, 0.2002, 0.1997, 0.1997, 0.2006, 0.2016, 0.2024, 0.204, 0.206, 0.2071, 0.2074, 0.2081, 0.2089, 0.2106},  // p = 0.9
    {0.1272, 0.1084, 0.1022, 0.1005, 0.0995, 0.0996, 0.0992, 0.0995, 0.1, 0.1005, 0.101, 0.1012, 0.1013, 0.1019, 0.1024},  // p = 0.95
    {0.0304, 0.023, 0.0208, 0.0203, 0.0198, 0.0197, 0.0196, 0.0196, 0.0197, 0.0198, 0.0197, 0.0199, 0.02, 0.02, 0.02},  // p = 0.99
    {0.0156, 0.0116, 0.0104, 0.0101, 0.0099, 0.0098, 0.0098, 0.0098, 0.0099, 0.0099, 0.0098, 0.0099, 0.0099, 0.0099, 0.01},  // p = 0.995
    {0.0032, 0.0023, 0.0021, 0.002, 0.002, 0.0019, 0.0019, 0.0019, 0.002, 0.0019, 0.002, 0.002, 0.002, 0.002, 0.002},  // p = 0.999
    {0.0016, 0.0012, 0.001, 0.001, 0.001, 0.0009, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001},  // p = 0.9995
    {0.0003, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002},  // p = 0.9999
};

}  // extern "C"

namespace {

constexpr i64 kN = TROVA_JB_N_COUNT;
constexpr i64 kP = TROVA_JB_PVAL_COUNT;

// (1 - w) A + w B.
inline f64 blend(f64 a, f64 b, f64 w) { return (1.0 - w) * a + w * b; }

// The bracket of idx, the first index whose entry is not on val's far side
// (len when there is none): lo = hi at a grid end or an exact hit.
void bracket(f64 val, const f64* arr, i64 len, i64 idx, i64* lo, i64* hi) {
    if (idx == len) {
        *lo = *hi = len - 1;
    } else if (idx == 0) {
        *lo = *hi = 0;
    } else {
        *hi = idx;
        *lo = val == arr[idx] ? idx : idx - 1;
    }
}

// Where n falls in the sample-size grid: its bracket and the weight of the
// upper column (0 for a degenerate bracket).
struct NBracket {
    i64 lo, hi;
    f64 a;
};
NBracket n_bracket(i64 n) {
    const f64 nf = static_cast<f64>(n);
    NBracket b;
    trova_jb_find_hilo_ascending(nf, JB_N_GRID, kN, &b.lo, &b.hi);
    b.a = b.lo == b.hi ? 0.0 : (nf - JB_N_GRID[b.lo]) / (JB_N_GRID[b.hi] - JB_N_GRID[b.lo]);
    return b;
}

// Critical value of table row i at the sample size bracketed by b.
inline f64 row_at(i64 i, const NBracket& b) {
    const f64* row = JB_CV[i];
    return b.lo == b.hi ? row[b.lo] : blend(row[b.lo], row[b.hi], b.a);
}

}  // namespace

extern "C" {

void trova_jb_find_hilo_ascending(f64 val, const f64* arr, i64 len, i64* lo, i64* hi) {
    i64 idx = 0, end = len;
    while (idx < end) {
        const i64 mid = (idx + end) / 2;
        if (val > arr[mid]) {
            idx = mid + 1;
        } else {
            end = mid;
        }
    }
    bracket(val, arr, len, idx, lo, hi);
}

void trova_jb_find_hilo_descending(f64 val, const f64* arr, i64 len, i64* lo, i64* hi) {
    i64 idx = 0, end = len;
    while (idx < end) {
        const i64 mid = (idx + end) / 2;
        if (val < arr[mid]) {
            idx = mid + 1;
        } else {
            end = mid;
        }
    }
    bracket(val, arr, len, idx, lo, hi);
}

f64 trova_jb_isf_interp(i64 n, f64 p) {
    if (std::isnan(p)) return trova::regression::quiet_nan();
    if (p <= 0.0) return HUGE_VAL;
    if (p >= 1.0) return 0.0;
    const NBracket nb = n_bracket(n);
    i64 lo = 0, hi = 0;
    trova_jb_find_hilo_ascending(p, JB_PVAL_GRID, kP, &lo, &hi);
    const f64 c_lo = row_at(lo, nb);
    if (lo == hi) return c_lo;
    const f64 t = (p - JB_PVAL_GRID[lo]) / (JB_PVAL_GRID[hi] - JB_PVAL_GRID[lo]);
    return blend(c_lo, row_at(hi, nb), t);
}

f64 trova_jb_pval_interp(i64 n, f64 x) {
    if (std::isnan(x)) return trova::regression::quiet_nan();
    if (x <= 0.0) return 1.0;
    if (x > DBL_MAX) return 0.0;
    const NBracket nb = n_bracket(n);
    f64 cv[kP];
    for (i64 i = 0; i < kP; ++i) cv[i] = row_at(i, nb);
    i64 lo = 0, hi = 0;
    trova_jb_find_hilo_descending(x, cv, kP, &lo, &hi);
    if (lo == hi) return JB_PVAL_GRID[lo];
    const f64 t = (x - cv[lo]) / (cv[hi] - cv[lo]);
    return blend(JB_PVAL_GRID[lo], JB_PVAL_GRID[hi], t);
}

void trova_jb_pval_interp_into(i64 n, const f64* x, i64 m, f64* out) {
    for (i64 k = 0; k < m; ++k) out[k] = trova_jb_pval_interp(n, x[k]);
}

void trova_jb_isf_interp_into(i64 n, const f64* p, i64 m, f64* out) {
    for (i64 k = 0; k < m; ++k) out[k] = trova_jb_isf_interp(n, p[k]);
}

}  // extern "C"
