#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "freestanding_math.h"

namespace {

int64_t UlpDistance(double a, double b) {
    int64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    if ((x < 0) != (y < 0))
        return (x & INT64_MAX) + (y & INT64_MAX);
    return x > y ? x - y : y - x;
}

void ExpectWithinOneUlp(double x) {
    EXPECT_LE(UlpDistance(FreestandingSin(x), std::sin(x)), 1) << "sin " << x;
    EXPECT_LE(UlpDistance(FreestandingCos(x), std::cos(x)), 1) << "cos " << x;
}

// The kernel's trigonometry against the C library over every range a client or a stage can
// produce: the transform's and window's angles, ordinary angles, and absurd ones that need
// the long argument reduction.
TEST(FreestandingMathTest, AgreesWithTheCLibraryWithinOneUlp) {
    for (uint32_t size = 2; size <= 65536; size *= 2) {
        for (double numerator : {2 * M_PI, -2 * M_PI}) {
            ExpectWithinOneUlp(-numerator / size);
            ExpectWithinOneUlp(-2 * numerator / size);
        }
    }
    for (int i = 0; i < 2048; ++i)
        ExpectWithinOneUlp(i * 2 * M_PI / 2047);

    std::mt19937_64 rng(7);
    for (int i = 0; i < 200000; ++i) {
        ExpectWithinOneUlp(std::uniform_real_distribution<double>(-20, 20)(rng));
        uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, 8);
        if (std::isfinite(x))
            ExpectWithinOneUlp(x);
    }
    for (double x : {1e22, -1e22, 3.4028234663852886e38, 1.7976931348623157e308, 1e-300, 0.0, -0.0,
                     M_PI / 4, M_PI / 2, M_PI, 1.5707963267948966})
        ExpectWithinOneUlp(x);
}

TEST(FreestandingMathTest, NonFiniteArgumentsGiveNaN) {
    for (double x :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_TRUE(std::isnan(FreestandingSin(x)));
        EXPECT_TRUE(std::isnan(FreestandingCos(x)));
    }
}

}  // namespace
