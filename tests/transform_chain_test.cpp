// Item transform chains evaluated against a small item table standing in for the
// host's item-info service.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plugin/support/item_id.h"
#include "plugin/worldpos/transform_chain.h"

namespace {

const double kHalfPi = 1.5707963267948966;
const double kPi = 3.141592653589793;
const double kEps = 0x1p-52;

struct FakeItem {
    uint64_t id;
    uint64_t parent;
    Vector3 position;
    Vector3 rotation;
    Vector3 scale;
    Vector3 pivot;
    Vector3 pivot_rotation;
};

struct Query {
    uint64_t item;
    int code;  // 0 for the parent query
};

std::vector<FakeItem> g_items;
std::vector<Query> g_queries;
std::vector<double> g_query_times;

const FakeItem *find_item(HostId handle) {
    for (const FakeItem &item : g_items)
        if (item.id == item_id_value(handle)) return &item;
    return nullptr;
}

HostId fake_parent(HostId handle) {
    g_queries.push_back({item_id_value(handle), 0});
    const FakeItem *item = find_item(handle);
    return item ? item_id_handle(item->parent) : nullptr;
}

void fake_param(HostId handle, int code, double time, double *out) {
    g_queries.push_back({item_id_value(handle), code});
    g_query_times.push_back(time);
    const FakeItem *item = find_item(handle);
    if (item == nullptr) return;
    const Vector3 *v = nullptr;
    switch (code) {
    case host_abi::kParamPosition: v = &item->position; break;
    case host_abi::kParamRotation: v = &item->rotation; break;
    case host_abi::kParamScaling: v = &item->scale; break;
    case host_abi::kParamPivot: v = &item->pivot; break;
    case host_abi::kParamPivotRotation: v = &item->pivot_rotation; break;
    default: return;
    }
    out[0] = v->x;
    out[1] = v->y;
    out[2] = v->z;
}

ItemInfo fake_item_info() {
    ItemInfo info{};
    info.parent = fake_parent;
    info.param = fake_param;
    return info;
}

uint64_t make_id(uint32_t kind, uint32_t index) { return (uint64_t{kind} << 28) | index; }

FakeItem plain_item(uint64_t id, uint64_t parent) {
    return FakeItem{id, parent, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, {0, 0, 0}};
}

class TransformChain : public testing::Test {
protected:
    void SetUp() override {
        g_items.clear();
        g_queries.clear();
        g_query_times.clear();
    }
    ItemInfo info = fake_item_info();

    Matrix3 world_rotation(uint64_t id) {
        Matrix3 m;
        chain_world_rotation(info.parent, info.param, item_id_handle(id), 0.0, &m);
        return m;
    }
    Matrix3 inverse_rotation(uint64_t id) {
        Matrix3 m;
        chain_inverse_rotation(&info, item_id_handle(id), 0.0, &m);
        return m;
    }
    Matrix3 inverse_rotation_scale(uint64_t id) {
        Matrix3 m;
        chain_inverse_rotation_scale(&info, item_id_handle(id), 0.0, &m);
        return m;
    }
    Vector3 world_position(uint64_t id) {
        Vector3 v;
        item_world_position(&info, item_id_handle(id), 0.0, &v);
        return v;
    }
};

void expect_identity(const Matrix3 &m) {
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m.m[i], i % 4 == 0 ? 1.0 : 0.0) << "element " << i;
}

void expect_diagonal(const Matrix3 &m, double x, double y, double z) {
    const double diagonal[3] = {x, y, z};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(m.m[3 * r + c], r == c ? diagonal[r] : 0.0) << r << "," << c;
}

const uint64_t kObject = make_id(host_abi::kIdKindObject, 1);
const uint64_t kChild = make_id(host_abi::kIdKindObject, 2);

TEST_F(TransformChain, UnrotatedRootIsIdentityAndItsOwnPosition) {
    FakeItem root = plain_item(kObject, 0);
    root.position = {1.5, -2.0, 7.0};
    root.pivot = {4, 4, 4};
    root.scale = {3, 3, 3};
    g_items = {root};
    expect_identity(world_rotation(kObject));
    expect_identity(inverse_rotation(kObject));
    g_items[0].scale = {1, 1, 1};
    expect_identity(inverse_rotation_scale(kObject));
    const Vector3 p = world_position(kObject);
    EXPECT_EQ(p.x, 1.5);
    EXPECT_EQ(p.y, -2.0);
    EXPECT_EQ(p.z, 7.0);

    expect_identity(world_rotation(0));
    expect_identity(inverse_rotation(0));
}

TEST_F(TransformChain, CameraScalingDoesNotCountButLightAndBoneScalingDoes) {
    // A parent at (1, 0, 0) with scaling 2 and pivot (0.5, 0, 0); the child sits at (1, 2, 3).
    const uint64_t kinds[] = {host_abi::kIdKindCamera, host_abi::kIdKindLight, host_abi::kIdKindBone};
    for (uint64_t kind : kinds) {
        SCOPED_TRACE(testing::Message() << "parent kind " << kind);
        // High bits beyond the host's 32 do not change the kind.
        const uint64_t parent_id = (uint64_t{0xABCD} << 32) | make_id(static_cast<uint32_t>(kind), 5);
        FakeItem parent = plain_item(parent_id, 0);
        parent.position = {1, 0, 0};
        parent.scale = {2, 2, 2};
        parent.pivot = {0.5, 0, 0};
        FakeItem child = plain_item(kChild, parent_id);
        child.position = {1, 2, 3};
        g_items = {parent, child};

        const Vector3 p = world_position(kChild);
        if (kind == host_abi::kIdKindCamera) {
            EXPECT_EQ(p.x, 1.5);
            EXPECT_EQ(p.y, 2.0);
            EXPECT_EQ(p.z, 3.0);
            expect_identity(inverse_rotation_scale(parent_id));
            expect_identity(inverse_rotation_scale(kChild));
        } else {
            EXPECT_EQ(p.x, 2.0);
            EXPECT_EQ(p.y, 4.0);
            EXPECT_EQ(p.z, 6.0);
            expect_diagonal(inverse_rotation_scale(parent_id), 0.5, 0.5, 0.5);
        }
    }
}

TEST_F(TransformChain, ZeroScalingIsSkippedInTheInverseButMultipliedInPositions) {
    FakeItem parent = plain_item(kObject, 0);
    parent.scale = {0, 2, 2};
    FakeItem child = plain_item(kChild, kObject);
    child.position = {5, 1, 1};
    child.scale = {4, -0.5, 1};
    g_items = {parent, child};
    expect_diagonal(inverse_rotation_scale(kObject), 1.0, 0.5, 0.5);
    expect_diagonal(inverse_rotation_scale(kChild), 0.25, -1.0, 0.5);
    const Vector3 p = world_position(kChild);
    EXPECT_EQ(p.x, 0.0);
    EXPECT_EQ(p.y, 2.0);
    EXPECT_EQ(p.z, 2.0);
}

TEST_F(TransformChain, TinyRotationIsNoFactorButAnyPivotRotationIs) {
    FakeItem item = plain_item(kObject, 0);
    item.rotation = {1e-17, -2e-16, 0x1p-53};
    g_items = {item};
    expect_identity(world_rotation(kObject));
    expect_identity(inverse_rotation(kObject));

    g_items[0].pivot_rotation = {1e-20, 0, 0};
    const Matrix3 world = world_rotation(kObject);
    EXPECT_NE(world.m[6], 0.0);
    EXPECT_NEAR(world.m[6], 1e-20, 1e-26);
    const Matrix3 inverse = inverse_rotation(kObject);
    EXPECT_NEAR(inverse.m[2], 1e-20, 1e-26);

    // At the tolerance itself a rotation takes part.
    g_items[0].pivot_rotation = {0, 0, 0};
    g_items[0].rotation = {0, 0, 0x1p-52};
    EXPECT_NE(world_rotation(kObject).m[1], 0.0);
}

TEST_F(TransformChain, QueriesComeInTheHostsOrderAtOneTime) {
    const uint64_t camera = make_id(host_abi::kIdKindCamera, 1);
    const uint64_t light = make_id(host_abi::kIdKindLight, 1);
    g_items = {plain_item(camera, 0), plain_item(light, camera), plain_item(kChild, light)};
    Vector3 p;
    item_world_position(&info, item_id_handle(kChild), 2.5, &p);
    const std::vector<std::pair<uint64_t, int>> position_order = {
        {kChild, 1}, {kChild, 0},                                    //
        {light, 7},  {light, 6},  {light, 5}, {light, 12}, {light, 1}, {light, 0},  //
        {camera, 7}, {camera, 5}, {camera, 12}, {camera, 1}, {camera, 0}};
    std::vector<std::pair<uint64_t, int>> seen;
    for (const Query &q : g_queries) seen.emplace_back(q.item, q.code);
    EXPECT_EQ(seen, position_order);

    g_queries.clear();
    Matrix3 m;
    chain_inverse_rotation_scale(&info, item_id_handle(kChild), 2.5, &m);
    const std::vector<std::pair<uint64_t, int>> inverse_order = {
        {kChild, 0},  {light, 0},  {camera, 0},                              //
        {camera, 12}, {camera, 5},                                           //
        {light, 12},  {light, 5},  {light, 6}, {kChild, 12}, {kChild, 5}, {kChild, 6}};
    seen.clear();
    for (const Query &q : g_queries) seen.emplace_back(q.item, q.code);
    EXPECT_EQ(seen, inverse_order);

    g_queries.clear();
    chain_world_rotation(info.parent, info.param, item_id_handle(kChild), 2.5, &m);
    const std::vector<std::pair<uint64_t, int>> world_order = {
        {kChild, 5}, {kChild, 12}, {kChild, 0}, {light, 5}, {light, 12}, {light, 0},
        {camera, 5}, {camera, 12}, {camera, 0}};
    seen.clear();
    for (const Query &q : g_queries) seen.emplace_back(q.item, q.code);
    EXPECT_EQ(seen, world_order);

    for (double t : g_query_times) EXPECT_EQ(t, 2.5);
}

TEST_F(TransformChain, CyclicParentChainsEndAndStayConsistent) {
    const uint64_t other = make_id(host_abi::kIdKindLight, 9);
    FakeItem a = plain_item(kObject, other);
    a.rotation = {0.3, 0.2, 0.1};
    a.position = {1, 0, 0};
    FakeItem b = plain_item(other, kObject);
    b.pivot_rotation = {-0.1, 0.05, 0};
    b.scale = {1, 1, 1};
    g_items = {a, b};

    const Matrix3 world = world_rotation(kObject);
    const Matrix3 inverse = inverse_rotation(kObject);
    Matrix3 product;
    matrix3_multiply(&product, &inverse, &world);
    // Thousands of orthogonal factors each way: error grows with the count, still far below 1e-9.
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(product.m[i], i % 4 == 0 ? 1.0 : 0.0, 1e-9) << i;
    const Vector3 p = world_position(kObject);
    EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
    inverse_rotation_scale(kObject);

    int parent_queries = 0;
    for (const Query &q : g_queries) parent_queries += q.code == 0;
    EXPECT_LE(parent_queries, 4 * kMaxChainLength);

    // An item that is its own parent.
    g_items = {plain_item(kObject, kObject)};
    world_position(kObject);
    expect_identity(inverse_rotation(kObject));
}

TEST_F(TransformChain, MissingOperationsGiveIdentityInsteadOfACrash) {
    ItemInfo empty{};
    Matrix3 m;
    chain_inverse_rotation(&empty, item_id_handle(kObject), 0.0, &m);
    expect_identity(m);
    chain_inverse_rotation_scale(nullptr, item_id_handle(kObject), 0.0, &m);
    expect_identity(m);
    chain_world_rotation(nullptr, fake_param, item_id_handle(kObject), 0.0, &m);
    expect_identity(m);
    Vector3 p{9, 9, 9};
    item_world_position(&empty, item_id_handle(kObject), 0.0, &p);
    EXPECT_EQ(p.x, 0.0);
}

// ---------------------------------------------------------------------------
// Random hierarchies against a straightforward reference.

// p × R(angles) for the host's rotation: bank first, then pitch, then heading.
Vector3 rotate_point(Vector3 p, const Vector3 &a) {
    const double sb = std::sin(a.z), cb = std::cos(a.z);
    p = {p.x * cb - p.y * sb, p.x * sb + p.y * cb, p.z};
    const double sp = std::sin(a.y), cp = std::cos(a.y);
    p = {p.x, p.y * cp - p.z * sp, p.y * sp + p.z * cp};
    const double sh = std::sin(a.x), ch = std::cos(a.x);
    return {p.x * ch + p.z * sh, p.y, -p.x * sh + p.z * ch};
}

bool rotation_takes_part(const Vector3 &a) {
    return !(std::fabs(a.x) < kEps && std::fabs(a.y) < kEps && std::fabs(a.z) < kEps);
}
bool pivot_rotation_takes_part(const Vector3 &a) { return a.x != 0.0 || a.y != 0.0 || a.z != 0.0; }

// The angles the host turns by are the settled ones (pinned in the math tests).
Vector3 settled(Vector3 a, int pivot_flag) {
    hpb_round_single(&a, pivot_flag);
    return a;
}

bool is_camera_id(uint64_t id) { return item_id_kind(id) == host_abi::kIdKindCamera; }

double length(const Vector3 &v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// Maps a point from the item's own frame to the world, item by item. `magnitude`
// bounds the length of every intermediate point (rotations keep lengths, scaling
// grows them by at most its largest factor), for the tolerance.
Vector3 reference_apply(const FakeItem *item, Vector3 p, double *magnitude) {
    double bound = length(p);
    for (; item != nullptr; item = find_item(item_id_handle(item->parent))) {
        p = {p.x - item->pivot.x, p.y - item->pivot.y, p.z - item->pivot.z};
        double largest_scale = 1.0;
        if (!is_camera_id(item->id)) {
            p = {p.x * item->scale.x, p.y * item->scale.y, p.z * item->scale.z};
            largest_scale = std::fmax(std::fabs(item->scale.x),
                                      std::fmax(std::fabs(item->scale.y), std::fabs(item->scale.z)));
        }
        if (rotation_takes_part(item->rotation)) p = rotate_point(p, settled(item->rotation, 0));
        if (pivot_rotation_takes_part(item->pivot_rotation)) p = rotate_point(p, settled(item->pivot_rotation, 1));
        p = {p.x + item->position.x, p.y + item->position.y, p.z + item->position.z};
        bound = (bound + length(item->pivot)) * largest_scale + length(item->position);
    }
    if (magnitude) *magnitude = bound;
    return p;
}

Vector3 reference_world_position(uint64_t id, double *magnitude) {
    const FakeItem *item = find_item(item_id_handle(id));
    return reference_apply(find_item(item_id_handle(item->parent)), item->position, magnitude);
}

// Rows are the item's unit axes turned into the world.
Matrix3 reference_world_rotation(uint64_t id) {
    Matrix3 m;
    for (int r = 0; r < 3; ++r) {
        Vector3 axis{r == 0 ? 1.0 : 0.0, r == 1 ? 1.0 : 0.0, r == 2 ? 1.0 : 0.0};
        for (const FakeItem *item = find_item(item_id_handle(id)); item != nullptr;
             item = find_item(item_id_handle(item->parent))) {
            if (rotation_takes_part(item->rotation)) axis = rotate_point(axis, settled(item->rotation, 0));
            if (pivot_rotation_takes_part(item->pivot_rotation))
                axis = rotate_point(axis, settled(item->pivot_rotation, 1));
        }
        m.m[3 * r] = axis.x;
        m.m[3 * r + 1] = axis.y;
        m.m[3 * r + 2] = axis.z;
    }
    return m;
}

struct RandomScene {
    std::mt19937_64 random;
    explicit RandomScene(uint64_t seed) : random(seed) {}

    double uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); }
    bool chance(double p) { return uniform(0.0, 1.0) < p; }

    Vector3 angles() {
        double pitch = uniform(-kHalfPi, kHalfPi);
        if (chance(0.2)) pitch = (chance(0.5) ? 1 : -1) * (kHalfPi - (chance(0.5) ? 0.0 : uniform(0.0, 1e-6)));
        Vector3 a{uniform(-kPi, kPi), pitch, uniform(-kPi, kPi)};
        if (chance(0.15)) a.x = 0.0;
        if (chance(0.15)) a.z = 1e-17;
        return a;
    }
    double scale_component() { return (chance(0.2) ? -1.0 : 1.0) * uniform(0.5, 2.0); }
    Vector3 vector(double range) { return {uniform(-range, range), uniform(-range, range), uniform(-range, range)}; }

    // A chain root → … → leaf of the given depth; returns the leaf's id.
    uint64_t build_chain(int depth) {
        g_items.clear();
        uint64_t parent = 0;
        for (int i = 0; i < depth; ++i) {
            const uint32_t kind = 1 + static_cast<uint32_t>(random() % 4);
            const uint64_t high = chance(0.3) ? (random() & 0xFFFFFFFF00000000ull) : 0;
            FakeItem item = plain_item(high | make_id(kind, static_cast<uint32_t>(i + 1)), parent);
            item.position = vector(10.0);
            item.rotation = chance(0.15) ? Vector3{1e-17, 0, 0} : angles();
            item.scale = Vector3{1, 1, 1};
            if (!chance(0.3)) item.scale = {scale_component(), scale_component(), scale_component()};
            item.pivot = chance(0.4) ? Vector3{0, 0, 0} : vector(3.0);
            item.pivot_rotation = chance(0.5) ? Vector3{0, 0, 0} : angles();
            g_items.push_back(item);
            parent = item.id;
        }
        return parent;
    }
};

TEST_F(TransformChain, RandomHierarchiesMatchTheReference) {
    const uint64_t base_seed = 0x5EED2024;
    for (int trial = 0; trial < 400; ++trial) {
        const uint64_t seed = base_seed + static_cast<uint64_t>(trial);
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        RandomScene scene(seed);
        const int depth = 1 + static_cast<int>(scene.random() % 8);
        const uint64_t leaf = scene.build_chain(depth);

        // Rotations: entries at most 1, about 3 roundings per product and up to 32
        // products each way, so 1e-13 leaves room without hiding a wrong factor.
        const Matrix3 world = world_rotation(leaf);
        const Matrix3 inverse = inverse_rotation(leaf);
        const Matrix3 expected_world = reference_world_rotation(leaf);
        Matrix3 product;
        matrix3_multiply(&product, &inverse, &world);
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(product.m[i], i % 4 == 0 ? 1.0 : 0.0, 1e-13) << "inverse × world, element " << i;
            EXPECT_NEAR(world.m[i], expected_world.m[i], 1e-13) << "world rotation, element " << i;
        }

        // Positions: each level rounds a few times relative to the running
        // magnitude of the point, which the reference bounds; 64 ulps of it per
        // level is generous yet a millionth of any real mistake.
        double magnitude = 0.0;
        const Vector3 expected = reference_world_position(leaf, &magnitude);
        const Vector3 actual = world_position(leaf);
        const double position_tolerance = 64.0 * kEps * magnitude * depth;
        EXPECT_NEAR(actual.x, expected.x, position_tolerance);
        EXPECT_NEAR(actual.y, expected.y, position_tolerance);
        EXPECT_NEAR(actual.z, expected.z, position_tolerance);

        // The child-position identity, for the leaf X and its parent A. The world
        // offset carries the error of both world positions; the inverse scaling
        // magnifies it by at most 2 per non-camera level (scales are at least 0.5).
        if (depth < 2) continue;
        const FakeItem &x = g_items[depth - 1];
        const FakeItem &a = g_items[depth - 2];
        Vector3 parent_world = world_position(a.id);
        Vector3 offset{actual.x - parent_world.x, actual.y - parent_world.y, actual.z - parent_world.z};
        const Matrix3 inverse_scale = inverse_rotation_scale(a.id);
        vec3_times_matrix3(&offset, &offset, &inverse_scale);
        const double identity_tolerance = 256.0 * kEps * magnitude * depth * std::ldexp(1.0, depth - 1);
        EXPECT_NEAR(offset.x + a.pivot.x, x.position.x, identity_tolerance);
        EXPECT_NEAR(offset.y + a.pivot.y, x.position.y, identity_tolerance);
        EXPECT_NEAR(offset.z + a.pivot.z, x.position.z, identity_tolerance);
    }
}

// The walks that read a chain once for several results give each the bits of
// its own walk: the kept poses and the new parent's chain rely on it.
template <typename T>
bool same_bits(const T &a, const T &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(TransformChain, OneWalkGivesTheBitsOfEachWalkAlone) {
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        RandomScene scene(0xC0FFEE + static_cast<uint64_t>(trial));
        // Now and then past kMostWalkedTogether, where the parts are read apart.
        const int depth = 1 + static_cast<int>(scene.random() % (trial % 8 == 0 ? 40 : 6));
        const HostId leaf = item_id_handle(scene.build_chain(depth));

        ParentChain together;
        parent_chain_at(&info, leaf, 0.0, &together);
        Matrix3 inverse, inverse_scale;
        Vector3 position;
        chain_inverse_rotation(&info, leaf, 0.0, &inverse);
        chain_inverse_rotation_scale(&info, leaf, 0.0, &inverse_scale);
        item_world_position(&info, leaf, 0.0, &position);
        double turns[3] = {0.0, 0.0, 0.0};
        for (auto item = g_items.rbegin(); item != g_items.rend(); ++item) {
            turns[0] += item->rotation.x;
            turns[1] += item->rotation.y;
            turns[2] += item->rotation.z;
        }
        EXPECT_TRUE(same_bits(together.inverse_rotation, inverse));
        EXPECT_TRUE(same_bits(together.inverse_rotation_scale, inverse_scale));
        EXPECT_TRUE(same_bits(together.position, position));
        EXPECT_TRUE(same_bits(together.turns, turns));

        // The parent's pose kept and read for the solve at once, then the
        // leaf's through it.
        if (depth < 2) continue;
        const HostId parent = item_id_handle(g_items[depth - 2].id);
        HostId stop = nullptr;
        const ChainPose *above[2] = {nullptr, nullptr};
        ChainPose poses[2][2];
        for (HostId item : {parent, leaf}) {
            Matrix3 rotation[2];
            Vector3 world[2];
            double own[2][3], ancestors[2][3];
            item_chain_pose(&info, item, 0.0, stop, above[0], &poses[0][item == leaf]);
            item_world_pose(&info, item, 0.0, stop, above[0], &rotation[0], &world[0], own[0], ancestors[0]);
            item_chain_and_world_pose(&info, item, 0.0, stop, above[1], &poses[1][item == leaf], &rotation[1],
                                      &world[1], own[1], ancestors[1]);
            EXPECT_TRUE(same_bits(poses[0][item == leaf], poses[1][item == leaf]));
            EXPECT_TRUE(same_bits(rotation[0], rotation[1]));
            EXPECT_TRUE(same_bits(world[0], world[1]));
            EXPECT_TRUE(same_bits(own[0], own[1]));
            EXPECT_TRUE(same_bits(ancestors[0], ancestors[1]));
            stop = parent;
            above[0] = &poses[0][0];
            above[1] = &poses[1][0];
        }
    }
}

}  // namespace
