// Double-precision vectors and matrices for world transforms, in the row-vector
// convention: a vector v is transformed as v × M, and in A × B the transform A
// applies first. Angles are heading, pitch, bank in radians.
#pragma once

#include <cstdint>

struct Vector3 {
    double x;
    double y;
    double z;
};

// Row-major; element (r, c) at 3r + c. Row r is the image of the r-th unit axis.
struct Matrix3 {
    double m[9];
};

// Row-major affine transform; element (r, c) at 4r + c. The upper-left 3×3 block
// is the linear part, indices 12 to 14 the translation, column 3 is (0, 0, 0, 1).
struct Matrix4 {
    double m[16];
};

// 2^-52: below it an angle counts as no rotation and a matrix entry snaps to 0.
constexpr double kAngleTolerance = 0x1p-52;

// Bit i set when component i has magnitude of at least the tolerance (NaN sets it).
unsigned vec3_nonzero_mask(const Vector3 *v);
// Bit i set when component i is not zero (-0.0 is zero, NaN sets it).
unsigned vec3_exact_nonzero_mask(const Vector3 *v);

// Settles each angle above the tolerance by a round trip through single-precision
// degrees, so the matrices match the host's own. A non-zero pivot flag first
// stretches the angle the way the host does for pivot rotations.
void hpb_round_single(Vector3 *angles, int pivot_flag);

// Rz(bank) × Rx(pitch) × Ry(heading): bank applies first, then pitch, then heading.
void hpb_to_matrix3(Matrix3 *out, const Vector3 *angles);
// Ry(heading) × Rx(pitch) × Rz(bank). With the angles negated this is the
// transpose, and so the inverse, of hpb_to_matrix3.
void hpb_to_matrix3_reverse(Matrix3 *out, const Vector3 *angles);
// hpb_to_matrix3 as an affine matrix with zero translation.
void hpb_to_matrix4(Matrix4 *out, const Vector3 *angles);
// The rotation `in` as an affine transform that moves nothing.
void matrix3_to_matrix4(Matrix4 *out, const Matrix3 *in);

void matrix3_identity(Matrix3 *out);
void matrix4_identity(Matrix4 *out);

// out = a × b; out may be a or b.
void matrix3_multiply(Matrix3 *out, const Matrix3 *a, const Matrix3 *b);
// out = a × b as affine transforms, a first; out may be a or b. Column 3 of a
// and indices 3, 7, 11 of b are not read.
void matrix4_multiply(Matrix4 *out, const Matrix4 *a, const Matrix4 *b);
// out = v × m; out may be v.
void vec3_times_matrix3(Vector3 *out, const Vector3 *v, const Matrix3 *m);

// Scales every row of non-zero length to unit length; zero (or NaN) rows stay.
void matrix3_normalize_rows(Matrix3 *m);

// The length of row r.
double matrix3_row_length(const Matrix3 *m, int r);

// out = the inverse of m, by its adjugate; out may be m. False, with out
// unchanged, when m is singular or not finite.
bool matrix3_inverse(Matrix3 *out, const Matrix3 *m);

// Heading, pitch, bank of a rotation matrix built by hpb_to_matrix3. Pitch is
// clamped to ±pi/2 when element (2, 1) reaches ±1; results within the tolerance
// of zero become +0.0.
void matrix3_to_hpb(Vector3 *out, const Matrix3 *m);
