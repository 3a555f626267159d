#include "transform_math.h"

#include <cmath>

#include "portable_trig.h"

namespace {

// 1 / (pi × 2^22 − 1) in double precision: the host's stretch of pivot-rotation angles.
constexpr double kPivotStretch = 0x1.45F3087B9F806p-24;
constexpr float kDegreesPerHalfTurn = 180.0f;
constexpr float kPiSingle = 3.1415927f;
constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr double kHalfPi = 1.5707963267948966;

double settle_angle(double a, int pivot_flag) {
    if (!(std::fabs(a) > kAngleTolerance)) return a;  // small angles and NaN stay as they are
    if (pivot_flag != 0) a = a * kPivotStretch + a;
    // Each step is rounded to single precision on its own; volatile keeps the
    // compiler from merging or widening them on any target.
    volatile float f = static_cast<float>(a);
    f = f * kDegreesPerHalfTurn;
    f = f / kPiSingle;
    return static_cast<double>(f) * kRadiansPerDegree;
}

double snap_to_zero(double v) { return std::fabs(v) <= kAngleTolerance ? 0.0 : v; }

struct SinCos {
    double sh, ch, sp, cp, sb, cb;
};

SinCos sin_cos_of(const Vector3 *angles) {
    SinCos s;
    portable_sin_cos(angles->x, &s.sh, &s.ch);
    portable_sin_cos(angles->y, &s.sp, &s.cp);
    portable_sin_cos(angles->z, &s.sb, &s.cb);
    return s;
}

}  // namespace

unsigned vec3_nonzero_mask(const Vector3 *v) {
    unsigned mask = 0;
    if (!(std::fabs(v->x) < kAngleTolerance)) mask |= 1u;
    if (!(std::fabs(v->y) < kAngleTolerance)) mask |= 2u;
    if (!(std::fabs(v->z) < kAngleTolerance)) mask |= 4u;
    return mask;
}

unsigned vec3_exact_nonzero_mask(const Vector3 *v) {
    unsigned mask = 0;
    if (v->x != 0.0) mask |= 1u;
    if (v->y != 0.0) mask |= 2u;
    if (v->z != 0.0) mask |= 4u;
    return mask;
}

void hpb_round_single(Vector3 *angles, int pivot_flag) {
    angles->x = settle_angle(angles->x, pivot_flag);
    angles->y = settle_angle(angles->y, pivot_flag);
    angles->z = settle_angle(angles->z, pivot_flag);
}

void hpb_to_matrix3(Matrix3 *out, const Vector3 *angles) {
    const SinCos s = sin_cos_of(angles);
    double *m = out->m;
    m[0] = s.ch * s.cb + s.sh * s.sp * s.sb;
    m[1] = s.cp * s.sb;
    m[2] = s.ch * s.sp * s.sb - s.sh * s.cb;
    m[3] = s.sh * s.sp * s.cb - s.ch * s.sb;
    m[4] = s.cp * s.cb;
    m[5] = s.sh * s.sb + s.ch * s.sp * s.cb;
    m[6] = s.sh * s.cp;
    m[7] = -s.sp;
    m[8] = s.ch * s.cp;
}

void hpb_to_matrix3_reverse(Matrix3 *out, const Vector3 *angles) {
    const SinCos s = sin_cos_of(angles);
    double *m = out->m;
    m[0] = s.ch * s.cb - s.sh * s.sp * s.sb;
    m[1] = s.ch * s.sb + s.sh * s.sp * s.cb;
    m[2] = -s.sh * s.cp;
    m[3] = -s.cp * s.sb;
    m[4] = s.cp * s.cb;
    m[5] = s.sp;
    m[6] = s.sh * s.cb + s.ch * s.sp * s.sb;
    m[7] = s.sh * s.sb - s.ch * s.sp * s.cb;
    m[8] = s.ch * s.cp;
}

void hpb_to_matrix4(Matrix4 *out, const Vector3 *angles) {
    Matrix3 r;
    hpb_to_matrix3(&r, angles);
    matrix3_to_matrix4(out, &r);
}

void matrix3_to_matrix4(Matrix4 *out, const Matrix3 *in) {
    double *m = out->m;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) m[4 * row + col] = in->m[3 * row + col];
        m[4 * row + 3] = 0.0;
    }
    m[12] = 0.0;
    m[13] = 0.0;
    m[14] = 0.0;
    m[15] = 1.0;
}

void matrix3_identity(Matrix3 *out) { *out = Matrix3{{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0}}; }

void matrix4_identity(Matrix4 *out) {
    *out = Matrix4{{1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}};
}

void matrix3_multiply(Matrix3 *out, const Matrix3 *a, const Matrix3 *b) {
    Matrix3 product;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            product.m[3 * r + c] =
                a->m[3 * r] * b->m[c] + a->m[3 * r + 1] * b->m[3 + c] + a->m[3 * r + 2] * b->m[6 + c];
        }
    }
    *out = product;
}

void matrix4_multiply(Matrix4 *out, const Matrix4 *a, const Matrix4 *b) {
    Matrix4 product;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) {
            double sum = a->m[4 * r] * b->m[c] + a->m[4 * r + 1] * b->m[4 + c] + a->m[4 * r + 2] * b->m[8 + c];
            if (r == 3) sum = sum + b->m[12 + c];
            product.m[4 * r + c] = sum;
        }
        product.m[4 * r + 3] = 0.0;
    }
    product.m[15] = b->m[15];
    *out = product;
}

void vec3_times_matrix3(Vector3 *out, const Vector3 *v, const Matrix3 *m) {
    const double x = v->x;
    const double y = v->y;
    const double z = v->z;
    out->x = x * m->m[0] + y * m->m[3] + z * m->m[6];
    out->y = x * m->m[1] + y * m->m[4] + z * m->m[7];
    out->z = x * m->m[2] + y * m->m[5] + z * m->m[8];
}

void matrix3_normalize_rows(Matrix3 *m) {
    for (int r = 0; r < 3; ++r) {
        double *row = m->m + 3 * r;
        const double length_squared = row[0] * row[0] + row[1] * row[1] + row[2] * row[2];
        if (!(length_squared > 0.0)) continue;
        const double inverse_length = 1.0 / std::sqrt(length_squared);
        row[0] *= inverse_length;
        row[1] *= inverse_length;
        row[2] *= inverse_length;
    }
}

double matrix3_row_length(const Matrix3 *m, int r) {
    const double *row = m->m + 3 * r;
    return std::sqrt(row[0] * row[0] + row[1] * row[1] + row[2] * row[2]);
}

bool matrix3_inverse(Matrix3 *out, const Matrix3 *m) {
    const double *a = m->m;
    Matrix3 adjugate;
    double *b = adjugate.m;
    b[0] = a[4] * a[8] - a[5] * a[7];
    b[1] = a[2] * a[7] - a[1] * a[8];
    b[2] = a[1] * a[5] - a[2] * a[4];
    b[3] = a[5] * a[6] - a[3] * a[8];
    b[4] = a[0] * a[8] - a[2] * a[6];
    b[5] = a[2] * a[3] - a[0] * a[5];
    b[6] = a[3] * a[7] - a[4] * a[6];
    b[7] = a[1] * a[6] - a[0] * a[7];
    b[8] = a[0] * a[4] - a[1] * a[3];
    const double determinant = a[0] * b[0] + a[1] * b[3] + a[2] * b[6];
    if (determinant == 0.0 || !std::isfinite(determinant)) return false;
    const double inverse = 1.0 / determinant;
    for (int i = 0; i < 9; ++i) b[i] *= inverse;
    *out = adjugate;
    return true;
}

void matrix3_to_hpb(Vector3 *out, const Matrix3 *m) {
    const double minus_sin_pitch = m->m[7];
    double pitch;
    if (minus_sin_pitch >= 1.0) {
        pitch = -kHalfPi;
    } else if (minus_sin_pitch <= -1.0) {
        pitch = kHalfPi;
    } else {
        pitch = snap_to_zero(portable_asin(-minus_sin_pitch));
    }
    const double heading = snap_to_zero(portable_atan2(m->m[6], m->m[8]));
    const double bank = snap_to_zero(portable_atan2(m->m[1], m->m[4]));
    out->x = heading;
    out->y = pitch;
    out->z = bank;
}
