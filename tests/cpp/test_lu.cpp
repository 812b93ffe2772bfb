// The allocating LU paths, real and complex: every record is released on
// every path (LeakSanitizer checks this in the sanitizer build) and a freed
// record can be freed again.
#include <gtest/gtest.h>

#include <vector>

#include "trova.h"

namespace {

TEST(LuOwnership, RealPathsReleaseEverything) {
    const std::vector<f64> A = {2.0, 1.0, 1.0, 3.0}, singular = {1.0, 2.0, 2.0, 4.0}, B = {1.0, 2.0};
    std::vector<f64> X(2, -1.0), inv(4, -1.0);
    f64_lu ok = trova_lu_factor(A.data(), 2);
    ASSERT_EQ(ok.err, 0);
    trova_lu_solve(ok.lu, ok.piv, B.data(), X.data(), 2, 1);
    EXPECT_NEAR(2.0 * X[0] + X[1], 1.0, 1e-15);
    EXPECT_NEAR(X[0] + 3.0 * X[1], 2.0, 1e-15);
    trova_lu_free(&ok);
    EXPECT_EQ(ok.lu, nullptr);
    trova_lu_free(&ok);
    f64_lu bad = trova_lu_factor(singular.data(), 2);
    EXPECT_EQ(bad.err, -2);
    EXPECT_NE(bad.lu, nullptr);
    trova_lu_free(&bad);
    f64_lu invalid = trova_lu_factor(nullptr, 2);
    EXPECT_EQ(invalid.err, -1);
    trova_lu_free(&invalid);
    trova_lu_free(nullptr);
    EXPECT_EQ(trova_solve(singular.data(), B.data(), 2, 1, X.data()), -2);
    EXPECT_EQ(trova_inv(singular.data(), 2, inv.data()), -2);
    EXPECT_EQ(trova_inv(A.data(), 2, inv.data()), 0);
    EXPECT_NEAR(inv[0], 0.6, 1e-15);
    EXPECT_EQ(trova_inv(A.data(), 0, inv.data()), -1);
}

TEST(LuOwnership, ComplexPathsReleaseEverything) {
    const std::vector<c128> A = {{0.0, 2.0}, {0.0, 0.0}, {0.0, 0.0}, {2.0, 0.0}};
    const std::vector<c128> singular(4, c128{1.0, 1.0});
    std::vector<c128> inv(4), X(2);
    c128_lu ok = c128_lu_factor(A.data(), 2);
    ASSERT_EQ(ok.err, 0);
    c128_lu_free(&ok);
    c128_lu_free(&ok);
    c128_lu bad = c128_lu_factor(singular.data(), 2);
    EXPECT_EQ(bad.err, -2);
    c128_lu_free(&bad);
    EXPECT_EQ(c128_solve(singular.data(), A.data(), 2, 1, X.data()), -2);
    ASSERT_EQ(c128_inv(A.data(), 2, inv.data()), 0);
    EXPECT_EQ(inv[0].re, 0.0);
    EXPECT_EQ(inv[0].im, -0.5);
    EXPECT_EQ(inv[3].re, 0.5);
    EXPECT_EQ(c128_inv(nullptr, 2, inv.data()), -1);
}

}  // namespace
