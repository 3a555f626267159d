// Where items sit in the world, worked out by the host from the scene's
// hierarchy with its own matrix code. Plug-ins evaluate the same chains
// themselves through the item info; this is the answer they are held to.
//
// Conventions: row vectors (v' = v x M, A x B applies A first); a rotation of
// heading, pitch and bank applies bank, then pitch, then heading. Each
// ancestor maps a point p of its child's space to
// ((p - pivot) x scale x rotation x pivot rotation) + position,
// where cameras contribute no scaling and an item's own position is where its
// pivot point lands in its parent's space.
#pragma once

#include <array>
#include <unordered_map>
#include <vector>

#include "scene.h"

namespace headless {

// Row-major 3 x 3 in the host's convention: rows are the images of the unit
// axes, vectors are rows, and in A x B the transform A applies first.
struct Matrix {
    double m[3][3];
};
// Bank, then pitch, then heading, as the host composes an item's rotation.
Matrix rotation(const Vec3 &hpb);
Matrix operator*(const Matrix &a, const Matrix &b);
Vec3 operator*(const Vec3 &v, const Matrix &m);

struct WorldAxes {
    Vec3 right;    // the item's +x in the world
    Vec3 up;       // +y
    Vec3 forward;  // +z
};

// The world position of the item's pivot point at `time`.
Vec3 world_position(const Scene &scene, ItemIdValue id, double time);

// The world directions of the item's own axes at `time`, each of unit length.
// Its ancestors' scaling bends them; its own scaling does not enter.
WorldAxes world_axes(const Scene &scene, ItemIdValue id, double time);

// The ancestors of an item from its parent up to the root. A parent that is
// missing ends the chain, and so does one met before, so a damaged hierarchy
// that loops cannot hang the walk.
std::vector<const Item *> ancestors_of(const Scene &scene, const Item &item);

// An item's place in the world at one time, in the form that hands on to its
// children: its world linear map is its own scaling applied to `axes`.
struct WorldPose {
    Vec3 position;  // where its pivot point lands, as world_position
    // Its own x, y and z turned by its rotation and mapped by its ancestors'
    // scaling and rotation; world_axes gives these rows at unit length.
    std::array<Vec3, 3> axes;
    Vec3 scale;  // its own scaling; 1 for cameras, which contribute none
};

// How far a pose's world linear map (its axes, each by its own scaling) is
// from scaling all directions alike: the largest departure of L x transposed
// L from a multiple of the identity, relative to that multiple. 0 for
// rotation with uniform scale, and for a collapsed or broken map.
double unevenness(const WorldPose &pose);
// How far a pose's own axes are from right angles in the world: the largest
// cosine between two of them. Its own scaling cannot bend them back; 0 for
// an item whose axes an uneven chain stretches along them alone, and for a
// collapsed or broken map.
double skew(const WorldPose &pose);
// Whether a chain that uneven shears: no rotation under it keeps an item's
// world axes. Below the tolerance the difference is rounding.
constexpr double kShearTolerance = 1e-6;
inline bool shears(double unevenness) { return unevenness > kShearTolerance; }

// The values of one of an item's motion channels (a MotionChannel) at
// `count` times, as poses are made from them: a channel with at most one key
// has one value throughout, cameras are not scaled, and a missing channel
// is 0 (1 for scaling).
void motion_values(const Item &item, int channel, const double *times, size_t count, double *out);
// Whether motion_values gives that channel one value at every time.
bool motion_constant(const Item &item, int channel);

// The one step that composes a chain: world_position, world_axes and the
// sampler all place each item by it, its parent placed before it.
// An item's pose from its motion values at one time (values[c * stride] for
// each MotionChannel c), its pivot rotation (null when it has none) and,
// under a parent, that parent's pose and pivot point.
void place(const double *values, size_t stride, const Matrix *pivot_turn, const WorldPose *above,
           const Vec3 &above_pivot, WorldPose *pose);

// Evaluates a set of items at many times, each item once per time and its
// parent before it, so a deep hierarchy costs one step per item rather than a
// walk of its whole chain. Agrees with world_position and world_axes to
// rounding.
class HierarchySampler {
public:
    // The items and all their ancestors. A missing parent ends a chain and a
    // loop in a damaged hierarchy is cut, as ancestors_of does. The sampler
    // holds the items: it is good while the scene keeps them and their parents.
    HierarchySampler(const Scene &scene, const std::vector<ItemIdValue> &items);

    size_t size() const { return items_.size(); }
    const Item &item(size_t index) const { return *items_[index]; }
    // The index of an item's parent, always lower than its own, or -1.
    int parent(size_t index) const { return parents_[index]; }
    // The index of an item, or -1 when it is not sampled.
    int index_of(ItemIdValue id) const;
    // A mask of the given items and their ancestors.
    std::vector<char> with_ancestors(const std::vector<int> &indices) const;

    // Writes the pose of item i at times[t] to out[t * size() + i], for t
    // below `count`; with a mask only for the marked items, whose ancestors
    // must be marked too. Reads the scene only: threads may share it.
    void evaluate(const double *times, size_t count, const std::vector<char> *mask, WorldPose *out) const;

private:
    std::vector<const Item *> items_;
    std::vector<int> parents_;
    std::vector<std::array<Vec3, 3>> pivot_turns_;  // rows of each item's pivot rotation
    std::vector<char> pivot_turned_;                // whether that rotation is not the identity
    std::unordered_map<ItemIdValue, int> index_;
};

}  // namespace headless
