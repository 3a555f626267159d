#include "world_transform.h"

#include <algorithm>
#include <cmath>

namespace headless {
namespace {

// Row-major 3 x 3, rows are the images of the unit axes.
struct Matrix {
    double m[3][3];
};

Matrix diagonal(const Vec3 &d) { return Matrix{{{d[0], 0, 0}, {0, d[1], 0}, {0, 0, d[2]}}}; }

// Bank, then pitch, then heading: Rz(b) x Rx(p) x Ry(h) written out.
Matrix rotation(const Vec3 &hpb) {
    const double sh = std::sin(hpb[0]), ch = std::cos(hpb[0]);
    const double sp = std::sin(hpb[1]), cp = std::cos(hpb[1]);
    const double sb = std::sin(hpb[2]), cb = std::cos(hpb[2]);
    return Matrix{{{ch * cb + sh * sp * sb, cp * sb, ch * sp * sb - sh * cb},
                   {sh * sp * cb - ch * sb, cp * cb, sh * sb + ch * sp * cb},
                   {sh * cp, -sp, ch * cp}}};
}

Matrix operator*(const Matrix &a, const Matrix &b) {
    Matrix out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.m[r][c] = a.m[r][0] * b.m[0][c] + a.m[r][1] * b.m[1][c] + a.m[r][2] * b.m[2][c];
    return out;
}

Vec3 operator*(const Vec3 &v, const Matrix &m) {
    Vec3 out;
    for (int c = 0; c < 3; ++c) out[c] = v[0] * m.m[0][c] + v[1] * m.m[1][c] + v[2] * m.m[2][c];
    return out;
}

// An item's own rotation followed by its pivot rotation.
Matrix orientation(const Item &item, double time) {
    return rotation(item.motion_at(kHeading, time)) * rotation(item.pivot_rotation);
}

Vec3 scaling(const Item &item, double time) {
    return item.kind == ItemKind::Camera ? Vec3{1, 1, 1} : item.motion_at(kScaleX, time);
}

Vec3 unit_row(const Matrix &m, int row, const Matrix &fallback) {
    Vec3 v{m.m[row][0], m.m[row][1], m.m[row][2]};
    const double length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    // A zero scaling flattens the axis; its direction is then the rotation's.
    if (!(length > 0.0) || !std::isfinite(length)) return {fallback.m[row][0], fallback.m[row][1], fallback.m[row][2]};
    for (double &c : v) c /= length;
    return v;
}

}  // namespace

std::vector<const Item *> ancestors_of(const Scene &scene, const Item &item) {
    std::vector<const Item *> chain;
    const Item *current = &item;
    while (current->parent) {
        const Item *parent = scene.find(current->parent);
        if (!parent || parent == &item || std::find(chain.begin(), chain.end(), parent) != chain.end()) break;
        chain.push_back(parent);
        current = parent;
    }
    return chain;
}

Vec3 world_position(const Scene &scene, ItemIdValue id, double time) {
    const Item *item = scene.find(id);
    if (!item) return {0, 0, 0};
    Vec3 p = item->motion_at(kPositionX, time);
    for (const Item *ancestor : ancestors_of(scene, *item)) {
        const Vec3 position = ancestor->motion_at(kPositionX, time);
        for (int i = 0; i < 3; ++i) p[i] -= ancestor->pivot[i];
        p = p * (diagonal(scaling(*ancestor, time)) * orientation(*ancestor, time));
        for (int i = 0; i < 3; ++i) p[i] += position[i];
    }
    return p;
}

WorldAxes world_axes(const Scene &scene, ItemIdValue id, double time) {
    const Item *item = scene.find(id);
    if (!item) return WorldAxes{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Matrix turned = orientation(*item, time);
    Matrix scaled = turned;
    for (const Item *ancestor : ancestors_of(scene, *item)) {
        const Matrix own = orientation(*ancestor, time);
        turned = turned * own;
        scaled = scaled * diagonal(scaling(*ancestor, time)) * own;
    }
    return WorldAxes{unit_row(scaled, 0, turned), unit_row(scaled, 1, turned), unit_row(scaled, 2, turned)};
}

}  // namespace headless
