// The host's envelope evaluation: span shapes, tangents and behaviours.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "host/core/envelope.h"

namespace headless {
namespace {

constexpr double kTight = 1e-12;

// A key of a test envelope, its shape and settings set through the envelope.
struct AddedKey {
    Envelope &envelope;
    EnvelopeKey *key;
    operator EnvelopeKey &() const { return *key; }
    void set_shape(KeyShape shape) const { envelope.set_shape(key, shape); }
    void set_tension(double v) const { envelope.set_tension(key, v); }
    void set_continuity(double v) const { envelope.set_continuity(key, v); }
    void set_bias(double v) const { envelope.set_bias(key, v); }
    void set_param(int i, double v) const { envelope.set_param(key, i, v); }
};

AddedKey add(Envelope &envelope, double time, double value, KeyShape shape = KeyShape::Tcb) {
    EnvelopeKey *key = envelope.create_key(time, value);
    envelope.set_shape(key, shape);
    return AddedKey{envelope, key};
}

TEST(EnvelopeEvaluation, NoKeyGivesTheDefaultAndOneKeyItsValueWhateverTheBehaviour) {
    Envelope envelope;
    EXPECT_EQ(envelope.evaluate(3.0), 0.0);
    envelope.default_value = 1.0;
    EXPECT_EQ(envelope.evaluate(-2.0), 1.0);

    add(envelope, 1.0, 7.5);
    envelope.pre_behavior = EnvelopeBehavior::Reset;
    envelope.post_behavior = EnvelopeBehavior::Linear;
    for (double t : {-10.0, 1.0, 1.5, 100.0}) EXPECT_EQ(envelope.evaluate(t), 7.5) << t;
}

TEST(EnvelopeEvaluation, LinearAndSteppedSpansAndTheValuesAtKeys) {
    Envelope envelope;
    add(envelope, 0.0, 0.0);
    add(envelope, 2.0, 4.0, KeyShape::Linear);
    add(envelope, 3.0, 10.0, KeyShape::Stepped);
    EXPECT_NEAR(envelope.evaluate(1.0), 2.0, kTight);
    // A stepped span holds the earlier key until the later one.
    EXPECT_EQ(envelope.evaluate(2.5), 4.0);
    EXPECT_EQ(envelope.evaluate(3.0), 10.0);
}

TEST(EnvelopeEvaluation, TcbWithZeroParametersIsACatmullRomCurveThroughTheKeys) {
    Envelope envelope;
    add(envelope, 0.0, 0.0);
    add(envelope, 1.0, 1.0);
    add(envelope, 2.0, 0.0);
    EXPECT_EQ(envelope.evaluate(1.0), 1.0);
    EXPECT_EQ(envelope.evaluate(2.0), 0.0);
    // First key leaves with the chord (1), the middle key is flat: at the
    // midpoint h2 + h3 = 0.5 + 0.125.
    EXPECT_NEAR(envelope.evaluate(0.5), 0.625, kTight);
    EXPECT_NEAR(envelope.evaluate(0.25), 0.15625 + 0.140625, kTight);  // h2 + h3 at s = 1/4
}

TEST(EnvelopeEvaluation, TcbTangentsWeighTheSpanLengths) {
    // Collinear keys at uneven spacing stay on the line only when each
    // tangent is scaled by its own span's share.
    Envelope envelope;
    add(envelope, 0.0, 0.0);
    add(envelope, 1.0, 1.0);
    add(envelope, 3.0, 3.0);
    for (double t : {0.3, 0.5, 1.7, 2.0, 2.9}) EXPECT_NEAR(envelope.evaluate(t), t, kTight) << t;

}

TEST(EnvelopeEvaluation, TensionContinuityAndBiasShapeTheTangents) {
    // Full tension: no tangents, the smooth step between the keys.
    Envelope tense;
    add(tense, 0.0, 0.0).set_tension(1.0);
    add(tense, 1.0, 2.0).set_tension(1.0);
    EXPECT_NEAR(tense.evaluate(0.25), 2.0 * 0.15625, kTight);

    // Bias 1 on the peak: it leaves with the incoming slope.
    Envelope biased;
    add(biased, 0.0, 0.0);
    add(biased, 1.0, 1.0).set_bias(1.0);
    add(biased, 2.0, 0.0);
    EXPECT_NEAR(biased.evaluate(1.5), 0.5 + 0.125 + 0.125, kTight);

    // Continuity 1 on the peak: a corner, arriving rising and leaving falling.
    Envelope cornered;
    add(cornered, 0.0, 0.0);
    add(cornered, 1.0, 1.0).set_continuity(1.0);
    add(cornered, 2.0, 0.0);
    EXPECT_NEAR(cornered.evaluate(0.5), 0.75, kTight);
    EXPECT_NEAR(cornered.evaluate(1.5), 0.75, kTight);
}

TEST(EnvelopeEvaluation, HermiteAndBezierKeysUseTheirTangentsAsStored) {
    for (KeyShape shape : {KeyShape::Hermite, KeyShape::Bezier}) {
        Envelope envelope;
        add(envelope, 0.0, 0.0, shape).set_param(1, 2.0);
        add(envelope, 1.0, 1.0, shape).set_param(0, 0.0);
        EXPECT_NEAR(envelope.evaluate(0.5), 0.5 + 0.25, kTight);

        // A key with a predecessor: its outgoing tangent is not scaled by the
        // span shares (the scaled one, 0.5, would give 1.4375).
        Envelope middle;
        add(middle, 0.0, 0.0);
        const AddedKey key = add(middle, 1.0, 1.0, shape);
        key.set_param(0, 1.0);
        key.set_param(1, 1.0);
        add(middle, 2.0, 2.0, shape).set_param(0, 1.0);
        EXPECT_NEAR(middle.evaluate(1.5), 1.5, kTight);
    }
}

TEST(EnvelopeEvaluation, HermiteKeysHoldingTheTcbTangentsDrawTheTcbCurve) {
    Envelope tcb, hermite;
    for (Envelope *envelope : {&tcb, &hermite}) {
        add(*envelope, 0.0, 0.0);
        add(*envelope, 1.0, 3.0);
        add(*envelope, 2.5, 1.0);
        add(*envelope, 4.0, 2.0);
    }
    // Key 1: incoming 1/2.5 * (3 - 2), outgoing 1.5/2.5 * (3 - 2).
    const AddedKey key{hermite, hermite.keys()[1].get()};
    key.set_shape(KeyShape::Hermite);
    key.set_param(0, 0.4);
    key.set_param(1, 0.6);
    for (double t = -0.5; t <= 4.5; t += 0.125) EXPECT_NEAR(hermite.evaluate(t), tcb.evaluate(t), kTight) << t;
}

TEST(EnvelopeEvaluation, Bezier2DSpansFollowTheirHandlesInTime) {
    // Time handles (0, 0, 1, 1) make time a smooth step of the curve
    // parameter: t = 0.15625 is u = 0.25, where value 1 - (1 - u)^3.
    Envelope envelope;
    const AddedKey k0 = add(envelope, 0.0, 0.0, KeyShape::Bezier2D);
    k0.set_param(2, 0.0);
    k0.set_param(3, 1.0);
    const AddedKey k1 = add(envelope, 1.0, 1.0, KeyShape::Bezier2D);
    k1.set_param(0, 0.0);
    k1.set_param(1, 0.0);
    EXPECT_NEAR(envelope.evaluate(0.15625), 0.578125, 1e-9);
    EXPECT_NEAR(envelope.evaluate(0.5), 0.875, 1e-9);

    // After a TCB key the outgoing handle lies a third along its tangent.
    Envelope after_tcb;
    add(after_tcb, 0.0, 0.0);
    const AddedKey end = add(after_tcb, 3.0, 3.0, KeyShape::Bezier2D);
    end.set_param(0, -1.0);
    end.set_param(1, -1.0);
    EXPECT_NEAR(after_tcb.evaluate(1.5), 1.5, 1e-9);
    EXPECT_NEAR(after_tcb.evaluate(0.6), 0.6, 1e-9);
}

TEST(EnvelopeEvaluation, Bezier2DHandlesGiveHermiteNeighboursTheirSlope) {
    Envelope envelope;
    const AddedKey k0 = add(envelope, 0.0, 0.0, KeyShape::Bezier2D);
    k0.set_param(2, 0.5);
    k0.set_param(3, 1.0);  // slope 2 per second over a span of 1 s
    add(envelope, 1.0, 1.0, KeyShape::Hermite);
    EXPECT_NEAR(envelope.evaluate(0.5), 0.5 + 0.125 * 2.0, kTight);

    // A handle with no length in time is steep, not a division by zero.
    k0.set_param(2, 0.0);
    const double value = envelope.evaluate(0.5);
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_GT(value, 1000.0);
}

// Keys at 1 s (0) and 3 s (2) with linear spans: f(t) = t - 1 inside. The
// first key is not at a multiple of the length, so the cycle has to be
// counted from it.
Envelope ramp(EnvelopeBehavior pre, EnvelopeBehavior post) {
    Envelope envelope;
    add(envelope, 1.0, 0.0, KeyShape::Linear);
    add(envelope, 3.0, 2.0, KeyShape::Linear);
    envelope.pre_behavior = pre;
    envelope.post_behavior = post;
    return envelope;
}

TEST(EnvelopeEvaluation, BehavioursBeforeAndAfterTheKeys) {
    const Envelope reset = ramp(EnvelopeBehavior::Reset, EnvelopeBehavior::Reset);
    EXPECT_EQ(reset.evaluate(0.0), 0.0);
    EXPECT_EQ(reset.evaluate(4.0), 0.0);

    const Envelope constant = ramp(EnvelopeBehavior::Constant, EnvelopeBehavior::Constant);
    EXPECT_EQ(constant.evaluate(-5.0), 0.0);
    EXPECT_EQ(constant.evaluate(5.0), 2.0);

    const Envelope repeat = ramp(EnvelopeBehavior::Repeat, EnvelopeBehavior::Repeat);
    EXPECT_NEAR(repeat.evaluate(4.5), 1.5, kTight);
    EXPECT_NEAR(repeat.evaluate(5.5), 0.5, kTight);
    EXPECT_NEAR(repeat.evaluate(0.5), 1.5, kTight);

    const Envelope oscillate = ramp(EnvelopeBehavior::Oscillate, EnvelopeBehavior::Oscillate);
    EXPECT_NEAR(oscillate.evaluate(4.5), 0.5, kTight);   // odd cycle runs backwards
    EXPECT_NEAR(oscillate.evaluate(5.5), 0.5, kTight);   // even cycle forwards
    EXPECT_NEAR(oscillate.evaluate(0.5), 0.5, kTight);   // cycle -1
    EXPECT_NEAR(oscillate.evaluate(-1.5), 1.5, kTight);  // cycle -2

    // Offset repeat continues the ramp, each cycle shifted by the rise.
    const Envelope offset = ramp(EnvelopeBehavior::OffsetRepeat, EnvelopeBehavior::OffsetRepeat);
    for (double t : {-3.5, 0.5, 4.5, 8.25}) EXPECT_NEAR(offset.evaluate(t), t - 1.0, 1e-9) << t;

    const Envelope linear = ramp(EnvelopeBehavior::Linear, EnvelopeBehavior::Linear);
    EXPECT_NEAR(linear.evaluate(-1.0), -2.0, kTight);
    EXPECT_NEAR(linear.evaluate(5.0), 4.0, kTight);
}

TEST(EnvelopeEvaluation, LinearBehaviourExtendsTheEndTangents) {
    Envelope envelope;
    add(envelope, 0.0, 0.0).set_tension(0.5);
    add(envelope, 1.0, 1.0);
    add(envelope, 2.0, 0.0);
    envelope.pre_behavior = envelope.post_behavior = EnvelopeBehavior::Linear;
    EXPECT_NEAR(envelope.evaluate(-1.0), -0.5, kTight);
    EXPECT_NEAR(envelope.evaluate(3.0), -1.0, kTight);

    // A stepped end has no slope to extend.
    envelope.set_shape(envelope.keys().back().get(), KeyShape::Stepped);
    EXPECT_EQ(envelope.evaluate(3.0), 0.0);
}

TEST(EnvelopeEvaluation, HostileTimesAndKeyLayoutsGiveNoNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int b = 0; b <= 5; ++b) {
        const auto behavior = static_cast<EnvelopeBehavior>(b);
        const Envelope envelope = ramp(behavior, behavior);
        for (double t : {nan, inf, -inf, 1e300, -1e300, 3.0 + 1e-13})
            EXPECT_FALSE(std::isnan(envelope.evaluate(t))) << "behaviour " << b << " at " << t;
        EXPECT_EQ(envelope.evaluate(nan), 0.0);
    }
    EXPECT_EQ(ramp(EnvelopeBehavior::Repeat, EnvelopeBehavior::Repeat).evaluate(inf), 2.0);
    EXPECT_EQ(ramp(EnvelopeBehavior::Linear, EnvelopeBehavior::Linear).evaluate(inf), inf);

    // Keys off the time line are refused.
    Envelope refused;
    EXPECT_EQ(refused.create_key(nan, 1.0), nullptr);
    EXPECT_EQ(refused.create_key(inf, 1.0), nullptr);
    EnvelopeKey *key = refused.create_key(1.0, 1.0);
    EXPECT_FALSE(refused.set_key_time(key, -inf));
    EXPECT_EQ(key->time, 1.0);

    // Two keys at one time: a jump, no division by the empty span. At the
    // shared time the later key holds.
    for (int shape = 0; shape <= 5; ++shape) {
        Envelope jump;
        add(jump, 0.0, 0.0);
        add(jump, 1.0, 1.0, static_cast<KeyShape>(shape));
        EnvelopeKey &moved = add(jump, 1.5, 5.0, static_cast<KeyShape>(shape));
        add(jump, 2.0, 0.0, static_cast<KeyShape>(shape));
        ASSERT_TRUE(jump.set_key_time(&moved, 1.0));
        jump.pre_behavior = jump.post_behavior = EnvelopeBehavior::Linear;
        for (double t = -1.0; t <= 3.0; t += 0.0625)
            EXPECT_TRUE(std::isfinite(jump.evaluate(t))) << "shape " << shape << " at " << t;
        EXPECT_EQ(jump.evaluate(1.0), 5.0);
    }

    // Every key at one time: nothing to repeat or extrapolate.
    Envelope instant;
    add(instant, 1.0, 2.0);
    EnvelopeKey &second = add(instant, 2.0, 3.0);
    ASSERT_TRUE(instant.set_key_time(&second, 1.0));
    for (int b = 1; b <= 5; ++b) {
        instant.pre_behavior = instant.post_behavior = static_cast<EnvelopeBehavior>(b);
        EXPECT_EQ(instant.evaluate(0.0), 2.0) << b;
        EXPECT_EQ(instant.evaluate(5.0), 3.0) << b;
    }
}

// A read take keeps its keys in one block with no list beside them, and their
// shapes and settings in a table beside that; editing it afterwards (moving,
// adding between, destroying keys, a new key in a freed slot) must give the
// same order, handles, details and curve as an envelope built key by key.
TEST(EnvelopeKeys, AReadTakeEditedAfterwardsKeepsOrderHandlesDetailsAndCurve) {
    const auto times_of = [](const Envelope &envelope) {
        std::vector<double> times;
        for (const auto &key : envelope.keys()) times.push_back(key->time);
        return times;
    };
    Envelope read, built;
    read.reserve(6);
    for (double t : {0.0, 1.0, 2.0, 3.0, 4.0}) read.append_key(t, t * t);
    for (double t : {4.0, 2.0, 0.0, 3.0, 1.0}) built.create_key(t, t * t);
    const KeyList taken_before = read.keys();
    for (Envelope *e : {&read, &built}) {
        EnvelopeKey *second = e->find_key(1.0);
        e->set_shape(second, KeyShape::Hermite);
        e->set_param(second, 0, 0.4);
        e->set_param(second, 1, 0.6);
        e->set_shape(e->find_key(3.0), KeyShape::Bezier2D);
        e->set_param(e->find_key(3.0), 2, 0.25);
    }
    EXPECT_EQ(taken_before.details(1).shape(), KeyShape::Hermite);  // a list taken first sees them
    EnvelopeKey *third = read.find_key(2.0);
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(read.owns(third));
    EXPECT_EQ(read.next_key(third)->time, 3.0);
    EXPECT_EQ(read.prev_key(third)->time, 1.0);
    const EnvelopeKey stranger;
    EXPECT_FALSE(read.owns(&stranger));
    EXPECT_FALSE(read.owns(third + 3));  // room reserved, no key there yet
    EXPECT_FALSE(read.owns(reinterpret_cast<const EnvelopeKey *>(reinterpret_cast<const char *>(third) + 8)));

    // A move that keeps the order, then one past a neighbour.
    EXPECT_TRUE(read.set_key_time(third, 2.5));
    EXPECT_TRUE(built.set_key_time(built.find_key(2.0), 2.5));
    EnvelopeKey *first = read.find_key(0.0);
    EXPECT_TRUE(read.set_key_time(first, 3.5));
    EXPECT_TRUE(built.set_key_time(built.find_key(0.0), 3.5));
    read.create_key(0.5, -1.0);
    built.create_key(0.5, -1.0);
    EXPECT_TRUE(read.destroy_key(read.find_key(3.0)));
    EXPECT_TRUE(built.destroy_key(built.find_key(3.0)));
    EXPECT_FALSE(read.destroy_key(read.find_key(3.0)));
    // The freed slot's next key starts plain, whatever the last one held.
    for (Envelope *e : {&read, &built}) {
        const EnvelopeKey *reborn = e->create_key(3.0, 7.0);
        EXPECT_EQ(e->details(reborn).shape(), KeyShape::Tcb);
        EXPECT_EQ(e->details(reborn).settings(), nullptr);
        e->set_shape(e->find_key(0.5), KeyShape::Stepped);  // a key of a later block
    }
    EXPECT_EQ(times_of(read), times_of(built));
    EXPECT_EQ(times_of(read), (std::vector<double>{0.5, 1.0, 2.5, 3.0, 3.5, 4.0}));
    EXPECT_EQ(first->time, 3.5);  // handles survive the list being made
    EXPECT_TRUE(read.owns(first) && read.owns(third));
    const Envelope moved(std::move(read));  // the details go with the keys
    const KeyList a = moved.keys(), b = built.keys();
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a.details(i).shape(), b.details(i).shape()) << i;
        for (int p = 0; p < 4; ++p) EXPECT_EQ(a.details(i).param(p), b.details(i).param(p)) << i;
    }
    for (double t = -1.0; t <= 5.0; t += 0.25) EXPECT_EQ(moved.evaluate(t), built.evaluate(t)) << t;
}

}  // namespace
}  // namespace headless
