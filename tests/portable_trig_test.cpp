// The module's own sine, cosine, arc sine and arc tangent: close to the runtime's
// functions everywhere, and exact where the transform math depends on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "plugin/worldpos/portable_trig.h"

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
}

TEST(PortableTrig, HugeAnglesKeepTheirValue) {
    // sin(1e22) = -0.852200849767188801772..., cos(1e22) = 0.523214785395138945497...,
    // each rounded to the nearest double.
    EXPECT_EQ(portable_sin(1e22), -0.8522008497671888);
    EXPECT_EQ(portable_cos(1e22), 0.523214785395139);
    // The reduction works on the magnitude; odd and even symmetry must hold bit for bit.
    std::mt19937_64 random(77);
    for (int i = 0; i < 2000; ++i) {
        const double x = std::ldexp(1.0 + std::ldexp(static_cast<double>(random() >> 12), -52), 19 + i % 1005);
        ASSERT_EQ(portable_sin(-x), -portable_sin(x)) << x;
        ASSERT_EQ(portable_cos(-x), portable_cos(x)) << x;
    }
}

TEST(PortableTrig, ZeroAndTinyAnglesKeepTheirSign) {
    EXPECT_TRUE(std::signbit(portable_sin(-0.0)));
    EXPECT_FALSE(std::signbit(portable_sin(0.0)));
    for (double tiny : {-0x1p-1074, -1e-300, -0x1p-30}) {
        EXPECT_EQ(portable_sin(tiny), tiny);
        EXPECT_EQ(portable_cos(tiny), 1.0);
    }
}

TEST(PortableTrig, VerticalDirectionsOnTheNegativeSideAreExact) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(portable_atan2(inf, -1.0), kHalfPi);
    EXPECT_EQ(portable_atan2(-inf, -1e300), -kHalfPi);
    EXPECT_EQ(portable_atan2(1e300, -1.0), kHalfPi);
    EXPECT_EQ(portable_atan2(-0x1p61, -1.0), -kHalfPi);
    EXPECT_EQ(portable_atan2(0x1p61, -1.0), portable_atan2(0x1p61, 1.0));
}

// glibc's long double functions rounded to double are within a hair of the
// true value; other runtimes' are not (x87 fsin reduces with a 66-bit pi).
#if defined(__GLIBC__)
// The reference needs long double to be wider than double while the test
// runs: valgrind, for one, carries x87 arithmetic out in double precision.
bool long_double_is_wider() {
    volatile long double one = 1.0L;
    volatile long double tiny = 0x1p-60L;
    return one + tiny != one;
}

#define SKIP_WITHOUT_WIDE_LONG_DOUBLE() \
    if (!long_double_is_wider()) GTEST_SKIP() << "long double is no wider than double here"

// Distance in units in the last place, counting across zero.
double ulps_apart(double a, double b) {
    auto ordered = [](double d) {
        int64_t i;
        std::memcpy(&i, &d, sizeof i);
        return i < 0 ? std::numeric_limits<int64_t>::min() - i : i;
    };
    return std::fabs(static_cast<double>(ordered(a) - ordered(b)));
}

TEST(PortableTrig, WithinOneUlpOfLongDoubleOverTheWholeRange) {
    SKIP_WITHOUT_WIDE_LONG_DOUBLE();
    const uint64_t seed = 2718;
    std::mt19937_64 random(seed);
    for (int i = 0; i < 200000; ++i) {
        const double mantissa = 1.0 + std::ldexp(static_cast<double>(random() >> 12), -52);
        const int exponent = static_cast<int>(random() % 1054) - 30;
        const double x = (random() & 1 ? -1.0 : 1.0) * std::ldexp(mantissa, exponent);
        const long double lx = x;
        ASSERT_LE(ulps_apart(portable_sin(x), static_cast<double>(sinl(lx))), 1.0) << std::hexfloat << x;
        ASSERT_LE(ulps_apart(portable_cos(x), static_cast<double>(cosl(lx))), 1.0) << std::hexfloat << x;
    }
}

TEST(PortableTrig, WithinOneUlpNextToMultiplesOfAQuarterTurn) {
    SKIP_WITHOUT_WIDE_LONG_DOUBLE();
    const long double half_pi = 1.570796326794896619231321691639751442L;
    std::vector<double> angles = {0x1.6ac5b262ca1ffp+849, 0x1.921fb54442d18p+1023, 0x1.921fb54442d18p+19};
    std::mt19937_64 random(31);
    for (int i = 0; i < 3000; ++i) {
        // k × pi/2 for k of up to 60 bits: long double is close enough to land next to it.
        const uint64_t k = (random() >> (4 + i % 40)) | 1;
        angles.push_back(static_cast<double>(static_cast<long double>(k) * half_pi));
    }
    for (double centre : angles) {
        double x = centre;
        for (int step = 0; step < 4; ++step, x = std::nextafter(x, 0.0)) {
            for (double a : {x, -x}) {
                ASSERT_LE(ulps_apart(portable_sin(a), static_cast<double>(sinl(a))), 1.0) << std::hexfloat << a;
                ASSERT_LE(ulps_apart(portable_cos(a), static_cast<double>(cosl(a))), 1.0) << std::hexfloat << a;
            }
        }
    }
}

TEST(PortableTrig, ArcFunctionsWithinOneUlpOfLongDouble) {
    SKIP_WITHOUT_WIDE_LONG_DOUBLE();
    const uint64_t seed = 1414;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 200000; ++i) {
        const double y = std::ldexp(unit(random), static_cast<int>(random() % 140) - 70);
        const double x = std::ldexp(unit(random), static_cast<int>(random() % 140) - 70);
        ASSERT_LE(ulps_apart(portable_atan2(y, x), static_cast<double>(atan2l(y, x))), 1.0) << y << " " << x;
        // Uniform, tiny, and next to +-1 where 1 - |s| loses the leading bits.
        double s = unit(random);
        if (i % 3 == 1) s = std::ldexp(s, -static_cast<int>(random() % 40));
        if (i % 3 == 2) s = std::copysign(1.0 - std::ldexp(std::fabs(s), -static_cast<int>(random() % 50)), s);
        ASSERT_LE(ulps_apart(portable_asin(s), static_cast<double>(asinl(s))), 1.0) << std::hexfloat << s;
    }
}
#endif

}  // namespace
