// The module's own sine, cosine, arc sine and arc tangent: close to the runtime's
// functions everywhere, and exact where the transform math depends on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "worldpos/portable_trig.h"

namespace {

const double kPi = 3.141592653589793;
const double kHalfPi = 1.5707963267948966;

// Four units in the last place of the larger of the value and 2^-10. The floor
// keeps results near zero comparable with a runtime whose sine and cosine lose
// relative accuracy there (the Windows one does near multiples of pi/2), while a
// wrong coefficient or reduction step still shows by many orders of magnitude.
double tolerance_for(double reference) {
    return 4.0 * std::numeric_limits<double>::epsilon() * std::fmax(std::fabs(reference), 0x1p-10);
}

TEST(PortableTrig, AgreesWithTheRuntimeOverTheAnglesInUse) {
    const uint64_t seed = 4242;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> angle(-40.0, 40.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 20000; ++i) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " case " << i);
        const double a = i % 10 == 0 ? std::ldexp(unit(random), -(i % 60)) : angle(random);
        ASSERT_NEAR(portable_sin(a), std::sin(a), tolerance_for(std::sin(a))) << a;
        ASSERT_NEAR(portable_cos(a), std::cos(a), tolerance_for(std::cos(a))) << a;
        const double s = unit(random);
        ASSERT_NEAR(portable_asin(s), std::asin(s), tolerance_for(std::asin(s))) << s;
        const double y = unit(random) * std::ldexp(1.0, static_cast<int>(i % 41) - 20);
        const double x = unit(random);
        ASSERT_NEAR(portable_atan2(y, x), std::atan2(y, x), tolerance_for(std::atan2(y, x))) << y << " " << x;
    }
}

TEST(PortableTrig, QuarterTurnsComeOutExactly) {
    EXPECT_EQ(portable_sin(kHalfPi), 1.0);
    EXPECT_EQ(portable_cos(kHalfPi), 6.123233995736766e-17);  // pi/2 minus its double, rounded
    EXPECT_EQ(portable_cos(0.0), 1.0);
    EXPECT_EQ(portable_sin(-kPi), -1.2246467991473532e-16);
    EXPECT_EQ(portable_asin(1.0), kHalfPi);
    EXPECT_EQ(portable_asin(-1.0), -kHalfPi);
    EXPECT_EQ(portable_atan2(1.0, 1.0), kPi / 4);
    EXPECT_EQ(portable_atan2(0.0, -1.0), kPi);
    EXPECT_EQ(portable_atan2(-0.0, -1.0), -kPi);
    EXPECT_EQ(portable_atan2(-2.0, 0.0), -kHalfPi);
    EXPECT_TRUE(std::signbit(portable_atan2(-0.0, 1.0)));
}

TEST(PortableTrig, HostileArgumentsGiveNaNOrABoundedValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(portable_sin(inf)));
    EXPECT_TRUE(std::isnan(portable_cos(nan)));
    EXPECT_TRUE(std::isnan(portable_asin(1.0000001)));
    EXPECT_TRUE(std::isnan(portable_atan2(nan, 1.0)));
    EXPECT_EQ(portable_atan2(inf, -inf), 3.0 * kPi / 4);
    EXPECT_EQ(portable_atan2(1.0, inf), 0.0);
    for (double huge : {1e6, -3e12, 1e300}) {
        const double s = portable_sin(huge), c = portable_cos(huge);
        EXPECT_LE(std::fabs(s), 1.0);
        EXPECT_NEAR(s * s + c * c, 1.0, 1e-15);
    }
}

}  // namespace
