/* A C program built against an installed trova, outside the library's own
 * build:
 *   cc install_check.c $(pkg-config --cflags --libs trova) -o install_check
 * or with CMake through find_package(trova CONFIG REQUIRED) (CMakeLists.txt
 * next to this file).
 *
 * It factors a 3x3 covariance with trova_chol and checks L L' against it,
 * then draws standard normals from a Philox stream, and prints both. */
#include <stdio.h>

#include <trova/trova.h>

int main(void) {
    const f64 S[9] = {4.0, 2.0, 0.6,
                      2.0, 5.0, 1.5,
                      0.6, 1.5, 3.0};
    f64 L[9];
    if (trova_chol(S, 0.0, L, 3) != 0) {
        fprintf(stderr, "trova_chol failed\n");
        return 1;
    }
    f64 worst = 0.0;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            f64 s = 0.0;
            for (int k = 0; k < 3; ++k) s += L[i * 3 + k] * L[j * 3 + k];
            f64 d = s > S[i * 3 + j] ? s - S[i * 3 + j] : S[i * 3 + j] - s;
            if (d > worst) worst = d;
        }
    }
    if (worst > 1e-12) {
        fprintf(stderr, "L L' differs from S by %g\n", worst);
        return 1;
    }
    printf("chol %.17g %.17g %.17g\n", L[0], L[4], L[8]);

    trova_philox_state st;
    trova_philox_seed(&st, 20240613u, 7u, 3u, 0u);
    f64 z[4];
    trova_philox_standard_normal_fill(&st, 4, z);
    printf("normal %.17g %.17g %.17g %.17g\n", z[0], z[1], z[2], z[3]);
    return 0;
}
