// Rotation and transform math: masks, angle settling, the hpb matrices and their
// inverse conversion, products and row normalisation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "plugin/worldpos/portable_trig.h"
#include "plugin/worldpos/transform_math.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kHalfPi = 1.5707963267948966;
const double kPi = 3.141592653589793;

double from_bits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

Matrix3 transpose(const Matrix3 &m) {
    Matrix3 t;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) t.m[3 * c + r] = m.m[3 * r + c];
    return t;
}

Matrix3 rotation(double h, double p, double b) {
    const Vector3 angles{h, p, b};
    Matrix3 m;
    hpb_to_matrix3(&m, &angles);
    return m;
}

void expect_matrix_near(const Matrix3 &actual, const Matrix3 &expected, double tolerance) {
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(actual.m[i], expected.m[i], tolerance) << "element " << i;
}

double wrapped_difference(double a, double b) {
    double d = std::fmod(a - b, 2.0 * kPi);
    if (d > kPi) d -= 2.0 * kPi;
    if (d < -kPi) d += 2.0 * kPi;
    return d;
}

TEST(TransformMath, MasksSeparateTinyFromZero) {
    const Vector3 tiny{1e-17, 0.0, 0.0};
    EXPECT_EQ(vec3_nonzero_mask(&tiny), 0u);
    EXPECT_EQ(vec3_exact_nonzero_mask(&tiny), 1u);

    const Vector3 at_tolerance{0.0, -0x1p-52, 0.0};
    EXPECT_EQ(vec3_nonzero_mask(&at_tolerance), 2u);

    const Vector3 negative_zero{-0.0, 0.0, -0.0};
    EXPECT_EQ(vec3_exact_nonzero_mask(&negative_zero), 0u);
    EXPECT_EQ(vec3_nonzero_mask(&negative_zero), 0u);

    const Vector3 with_nan{0.0, 3.0, kNaN};
    EXPECT_EQ(vec3_nonzero_mask(&with_nan), 6u);
    EXPECT_EQ(vec3_exact_nonzero_mask(&with_nan), 6u);
}

TEST(TransformMath, SettlingGoesThroughSinglePrecisionDegrees) {
    Vector3 angles{1.0, kHalfPi, -1.0};
    hpb_round_single(&angles, 0);
    EXPECT_EQ(angles.x, 0.9999999450937774);
    EXPECT_EQ(angles.y, kHalfPi);
    EXPECT_EQ(angles.z, -0.9999999450937774);
}

TEST(TransformMath, SettlingLeavesTinyZeroAndNaNAnglesAlone) {
    for (int flag = 0; flag <= 1; ++flag) {
        Vector3 angles{0.0, 0x1p-52, -0x1p-52};
        hpb_round_single(&angles, flag);
        EXPECT_EQ(angles.x, 0.0);
        EXPECT_FALSE(std::signbit(angles.x));
        EXPECT_EQ(angles.y, 0x1p-52);
        EXPECT_EQ(angles.z, -0x1p-52);

        Vector3 not_a_number{kNaN, kNaN, kNaN};
        hpb_round_single(&not_a_number, flag);
        EXPECT_TRUE(std::isnan(not_a_number.x) && std::isnan(not_a_number.y) && std::isnan(not_a_number.z));
    }
}

TEST(TransformMath, PivotFlagStretchesBeforeSettling) {
    Vector3 pivot{kHalfPi, -kHalfPi, 1.0};
    hpb_round_single(&pivot, 1);
    EXPECT_GT(pivot.x, kHalfPi);
    EXPECT_LT(pivot.x, kHalfPi + 1e-6);
    EXPECT_EQ(pivot.y, -pivot.x);

    // The stretch is a × K + a with K the double of bits 0x3E745F3087B9F806.
    const double k = from_bits(0x3E745F3087B9F806ull);
    EXPECT_NEAR(k, 7.589099653736237e-08, 1e-22);
    Vector3 stretched{kHalfPi * k + kHalfPi, 1.0 * k + 1.0, 0.0};
    hpb_round_single(&stretched, 0);
    EXPECT_EQ(pivot.x, stretched.x);
    EXPECT_EQ(pivot.z, stretched.y);
}

TEST(TransformMath, SineAndCosineTogetherHaveTheBitsOfEachAlone) {
    // Every quadrant and its edges, signed zeros, angles past the short
    // reduction, and no numbers at all.
    std::vector<double> angles = {0.0, -0.0, 1e-300, -1e-300, 0x1p19, -0x1p19 - 0.5, 1e300, -1e300,
                                  std::numeric_limits<double>::infinity(), kNaN};
    for (int quarter = -9; quarter <= 9; ++quarter)
        for (double offset : {-1e-9, 0.0, 1e-9, 0.4})
            angles.push_back(quarter * (kHalfPi / 2) + offset);
    for (double angle : angles) {
        double sine = 0.0, cosine = 0.0;
        portable_sin_cos(angle, &sine, &cosine);
        const double alone[2] = {portable_sin(angle), portable_cos(angle)};
        EXPECT_EQ(std::memcmp(&sine, &alone[0], sizeof sine), 0) << "sin " << angle;
        EXPECT_EQ(std::memcmp(&cosine, &alone[1], sizeof cosine), 0) << "cos " << angle;
    }
}

TEST(TransformMath, ElementaryTurnsMoveTheAxesTheHostsWay) {
    // Heading turns the z axis toward +x, positive pitch toward -y; bank turns x toward +y.
    const Matrix3 heading = rotation(kHalfPi, 0.0, 0.0);
    EXPECT_NEAR(heading.m[6], 1.0, 1e-15);
    EXPECT_NEAR(heading.m[8], 0.0, 1e-15);
    const Matrix3 pitch = rotation(0.0, kHalfPi, 0.0);
    EXPECT_NEAR(pitch.m[7], -1.0, 1e-15);
    const Matrix3 bank = rotation(0.0, 0.0, kHalfPi);
    EXPECT_NEAR(bank.m[1], 1.0, 1e-15);
    EXPECT_NEAR(bank.m[3], -1.0, 1e-15);
}

TEST(TransformMath, ForwardAppliesBankPitchHeadingAndReverseTheOtherOrder) {
    const double h = 0.9, p = -0.4, b = 2.5;
    const Matrix3 rh = rotation(h, 0.0, 0.0), rp = rotation(0.0, p, 0.0), rb = rotation(0.0, 0.0, b);
    Matrix3 bank_first;
    matrix3_multiply(&bank_first, &rb, &rp);
    matrix3_multiply(&bank_first, &bank_first, &rh);
    expect_matrix_near(rotation(h, p, b), bank_first, 1e-15);

    Matrix3 heading_first;
    matrix3_multiply(&heading_first, &rh, &rp);
    matrix3_multiply(&heading_first, &heading_first, &rb);
    const Vector3 angles{h, p, b};
    Matrix3 reverse;
    hpb_to_matrix3_reverse(&reverse, &angles);
    expect_matrix_near(reverse, heading_first, 1e-15);
}

TEST(TransformMath, ReverseOfNegatedAnglesIsTheTranspose) {
    std::mt19937_64 random(20240517);
    std::uniform_real_distribution<double> angle(-kPi, kPi);
    for (int i = 0; i < 200; ++i) {
        const Vector3 a{angle(random), angle(random) / 2, angle(random)};
        const Vector3 negated{-a.x, -a.y, -a.z};
        Matrix3 reverse;
        hpb_to_matrix3_reverse(&reverse, &negated);
        // Same products of the same sines and cosines: one rounding apart at most.
        expect_matrix_near(reverse, transpose(rotation(a.x, a.y, a.z)), 4e-16);
    }
}

TEST(TransformMath, AffineVersionHasTheRotationAndNoTranslation) {
    const Vector3 angles{0.3, -1.1, 2.0};
    Matrix4 affine;
    for (double &e : affine.m) e = kNaN;
    hpb_to_matrix4(&affine, &angles);
    const Matrix3 linear = rotation(0.3, -1.1, 2.0);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(affine.m[4 * r + c], linear.m[3 * r + c]);
        EXPECT_EQ(affine.m[4 * r + 3], 0.0);
        EXPECT_EQ(affine.m[12 + r], 0.0);
    }
    EXPECT_EQ(affine.m[15], 1.0);
}

TEST(TransformMath, IdentitiesWriteEveryElement) {
    Matrix3 m3;
    Matrix4 m4;
    for (double &e : m3.m) e = kNaN;
    for (double &e : m4.m) e = kNaN;
    matrix3_identity(&m3);
    matrix4_identity(&m4);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(m3.m[3 * r + c], r == c ? 1.0 : 0.0);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(m4.m[4 * r + c], r == c ? 1.0 : 0.0);
}

TEST(TransformMath, PitchAtNinetyDegreesKeepsHeadingAndBank) {
    const Matrix3 m = rotation(0.7, kHalfPi, 0.2);
    EXPECT_EQ(m.m[7], -1.0);
    Vector3 angles;
    matrix3_to_hpb(&angles, &m);
    EXPECT_EQ(angles.y, kHalfPi);
    // Heading and bank come from ratios of terms scaled by cos(pitch) ~ 6e-17;
    // the ratio and the arc tangent each cost up to a unit in the last place.
    EXPECT_NEAR(angles.x, 0.7, 0x1p-52 * 0.7);
    EXPECT_NEAR(angles.z, 0.2, 0x1p-52 * 0.2);
}

TEST(TransformMath, PitchBeyondOneIsClampedNotNaN) {
    Matrix3 m;
    matrix3_identity(&m);
    m.m[7] = 1.0000001;
    Vector3 angles;
    matrix3_to_hpb(&angles, &m);
    EXPECT_EQ(angles.y, -kHalfPi);
    m.m[7] = -1.0000001;
    matrix3_to_hpb(&angles, &m);
    EXPECT_EQ(angles.y, kHalfPi);

    m.m[7] = kNaN;
    matrix3_to_hpb(&angles, &m);
    EXPECT_TRUE(std::isnan(angles.y));
}

TEST(TransformMath, AnglesWithinToleranceSnapToPositiveZero) {
    Matrix3 m;
    matrix3_identity(&m);
    m.m[6] = -1e-17;  // heading atan2(-1e-17, 1)
    m.m[7] = 1e-17;   // pitch asin(-1e-17)
    m.m[1] = -2e-16;  // bank atan2(-2e-16, 1), just inside the tolerance
    Vector3 angles;
    matrix3_to_hpb(&angles, &m);
    EXPECT_EQ(angles.x, 0.0);
    EXPECT_FALSE(std::signbit(angles.x));
    EXPECT_FALSE(std::signbit(angles.y));
    EXPECT_FALSE(std::signbit(angles.z));
    m.m[1] = -3e-16;
    matrix3_to_hpb(&angles, &m);
    EXPECT_EQ(angles.z, -3e-16);
}

TEST(TransformMath, AnglesSurviveTheRoundTripAwayFromNinetyDegrees) {
    const uint64_t seed = 977;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int i = 0; i < 2000; ++i) {
        // Pitch kept at least 1e-3 from ±90°: heading and bank then come from
        // atan2 of terms scaled by cos(pitch) >= 1e-3, and asin near ±1 loses
        // the same factor, so the error stays below eps / 1e-3 ~ 2e-13.
        const Vector3 a{unit(random) * kPi, unit(random) * (kHalfPi - 1e-3), unit(random) * kPi};
        Matrix3 m;
        hpb_to_matrix3(&m, &a);
        Vector3 back;
        matrix3_to_hpb(&back, &m);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " case " << i);
        EXPECT_NEAR(wrapped_difference(back.x, a.x), 0.0, 1e-12);
        EXPECT_NEAR(back.y, a.y, 1e-12);
        EXPECT_NEAR(wrapped_difference(back.z, a.z), 0.0, 1e-12);
    }
}

TEST(TransformMath, ProductsAreRowVectorOrderAndSafeInPlace) {
    const Matrix3 a{{1, 2, 3, 4, 5, 6, 7, 8, 10}};
    const Matrix3 b{{-1, 0, 2, 3, 1, 0, 0, -2, 1}};
    const Matrix3 expected{{5, -4, 5, 11, -7, 14, 17, -12, 24}};
    Matrix3 out;
    matrix3_multiply(&out, &a, &b);
    expect_matrix_near(out, expected, 0.0);
    Matrix3 into_a = a;
    matrix3_multiply(&into_a, &into_a, &b);
    expect_matrix_near(into_a, expected, 0.0);
    Matrix3 into_b = b;
    matrix3_multiply(&into_b, &a, &into_b);
    expect_matrix_near(into_b, expected, 0.0);

    Vector3 v{1, -1, 2};
    vec3_times_matrix3(&v, &v, &a);
    EXPECT_EQ(v.x, 1 - 4 + 14);
    EXPECT_EQ(v.y, 2 - 5 + 16);
    EXPECT_EQ(v.z, 3 - 6 + 20);
}

TEST(TransformMath, AffineProductAppliesTheFirstTransformFirst) {
    const Vector3 angles{0.4, 0.1, -0.8};
    Matrix4 rotate;
    hpb_to_matrix4(&rotate, &angles);
    Matrix4 shift;
    matrix4_identity(&shift);
    shift.m[12] = 1.0;
    shift.m[13] = -2.0;
    shift.m[14] = 0.5;
    // Column 3 of the first and indices 3, 7, 11 of the second are not part of an affine product.
    Matrix4 a = rotate;
    a.m[3] = a.m[7] = a.m[11] = kNaN;
    Matrix4 b = shift;
    b.m[3] = b.m[7] = b.m[11] = kNaN;
    b.m[15] = 1.0;

    Matrix4 out;
    matrix4_multiply(&out, &a, &b);
    const Matrix3 linear = rotation(0.4, 0.1, -0.8);
    const Vector3 p{3.0, 1.0, -2.0};
    Vector3 expected;
    vec3_times_matrix3(&expected, &p, &linear);
    const double mapped[3] = {p.x * out.m[0] + p.y * out.m[4] + p.z * out.m[8] + out.m[12],
                              p.x * out.m[1] + p.y * out.m[5] + p.z * out.m[9] + out.m[13],
                              p.x * out.m[2] + p.y * out.m[6] + p.z * out.m[10] + out.m[14]};
    EXPECT_NEAR(mapped[0], expected.x + 1.0, 1e-15);
    EXPECT_NEAR(mapped[1], expected.y - 2.0, 1e-15);
    EXPECT_NEAR(mapped[2], expected.z + 0.5, 1e-15);
    EXPECT_EQ(out.m[3], 0.0);
    EXPECT_EQ(out.m[7], 0.0);
    EXPECT_EQ(out.m[11], 0.0);
    EXPECT_EQ(out.m[15], 1.0);

    Matrix4 into_a = a;
    matrix4_multiply(&into_a, &into_a, &b);
    Matrix4 into_b = b;
    matrix4_multiply(&into_b, &a, &into_b);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(into_a.m[i], out.m[i]) << i;
        EXPECT_EQ(into_b.m[i], out.m[i]) << i;
    }
}

TEST(TransformMath, NormalisationScalesRowsAndLeavesZeroRows) {
    Matrix3 m{{3, 4, 0, 0, 0, 0, kNaN, 1, 1}};
    matrix3_normalize_rows(&m);
    // One reciprocal of the length, then a multiplication per element.
    EXPECT_EQ(m.m[0], 3.0 * 0.2);
    EXPECT_EQ(m.m[1], 4.0 * 0.2);
    EXPECT_EQ(m.m[2], 0.0);
    for (int i = 3; i < 6; ++i) EXPECT_EQ(m.m[i], 0.0);
    EXPECT_TRUE(std::isnan(m.m[6]));
    EXPECT_EQ(m.m[7], 1.0);
}

}  // namespace
