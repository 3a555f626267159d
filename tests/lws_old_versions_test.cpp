// Scene files of LightWave 5 and 5.6 (LWSC 1 and 2): their item declarations,
// object-number links and motion layouts read into the scene, changes written
// back in the version's own statements, and what those versions cannot hold
// refused before anything is written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "lws_fixture.h"

namespace headless {
namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

Loaded load_text(const std::string &text, const std::string &name = "old.lws") { return load_lws(text, name); }

bool load_real(const std::string &file, Loaded *l) {
    std::string error;
    return read_lws_file(std::string(KR_TESTDATA_LWS) + "/" + file, &l->scene, &l->doc, &error);
}

ItemIdValue id_of(const Scene &scene, const std::string &name) {
    const Item *item = scene.find_by_name(name);
    EXPECT_NE(item, nullptr) << name;
    return item ? item->id : 0;
}

const char *const kCradle = "astrofra__legacy-lightwave-projects__scene.2.lws";
const char *const kCube56 = "assimp__assimp__move_x_oldformat_56.lws";

TEST(LwsOldRead, Lwsc1CradleHasItsHierarchyTargetAndSharedKeysInSecondsAndRadians) {
    Loaded l;
    ASSERT_TRUE(load_real(kCradle, &l)) << "no " << KR_TESTDATA_LWS << "/" << kCradle << ": these tests need ../shared/testdata beside the clone";
    const Scene &s = l.scene;
    EXPECT_EQ(l.doc.version, 1);
    EXPECT_EQ(s.all_items().size(), 14u);  // 12 objects, a light and the camera the file never adds
    EXPECT_EQ(s.find(0x10000000u)->name, "Frame");
    // `ParentObject 1` on each string, `ParentObject 10` on the last ball.
    EXPECT_EQ(s.find(id_of(s, "String (4)"))->parent, 0x10000000u);
    EXPECT_EQ(s.find(id_of(s, "ball (4)"))->parent, 0x10000009u);
    EXPECT_EQ(s.find(0x1000000bu)->name, "NullObject");
    const Item &camera = *s.find(0x30000000u);
    EXPECT_EQ(camera.target, 0x1000000bu);  // TargetObject 12
    EXPECT_EQ(camera.controllers, (std::array<int, 3>{1, 1, 0}));
    EXPECT_EQ(s.find(0x20000000u)->name, "Light");
    EXPECT_NEAR(s.find(0x20000000u)->channel(kHeading).envelope.keys()[0]->value, 59.999996 * kDegree, 1e-12);

    // First string: keys at frames 0, 12, 25, 50; pitch 20.000004 degrees at 12.
    const Item &string = *s.find(0x10000001u);
    const Envelope &pitch = string.channel(kPitch).envelope;
    ASSERT_EQ(pitch.key_count(), 4u);
    EXPECT_DOUBLE_EQ(pitch.keys()[1]->time, 12.0 / 30.0);
    EXPECT_NEAR(pitch.keys()[1]->value, 20.000004 * kDegree, 1e-12);
    EXPECT_EQ(pitch.keys().details(0).tension(), -1.0);  // "0 0 -1.0 -1.0 0.0"
    EXPECT_EQ(pitch.keys().details(0).continuity(), -1.0);
    EXPECT_EQ(pitch.keys().details(2).bias(), 0.4);      // "25 0 -1.0 -1.0 0.400000"
    EXPECT_EQ(pitch.keys().details(2).shape(), KeyShape::Tcb);
    EXPECT_EQ(pitch.keys().details(3).shape(), KeyShape::Linear);  // "50 1 0.0 0.0 0.0"
    EXPECT_EQ(string.channel(kPositionZ).envelope.keys()[3]->value, -2.05);
    EXPECT_EQ(s.find(0x10000000u)->channel(kScaleY).envelope.keys()[0]->value, 0.015);
    EXPECT_EQ(pitch.post_behavior, EnvelopeBehavior::Constant);  // EndBehavior 1
    EXPECT_EQ(pitch.pre_behavior, EnvelopeBehavior::Constant);
    // Continuity -1 on the first key makes it leave at four times the rise:
    // a quarter into the span the Hermite weights give (0.15625 + 0.140625 * 4) of it.
    EXPECT_NEAR(pitch.evaluate(3.0 / 30.0), 0.71875 * pitch.keys()[1]->value, 1e-12);
}

TEST(LwsOldRead, Lwsc2CubeHasPerChannelKeysInSecondsAndDegreesReadAsRadians) {
    Loaded l;
    ASSERT_TRUE(load_real(kCube56, &l)) << "no " << KR_TESTDATA_LWS << "/" << kCube56 << ": these tests need ../shared/testdata beside the clone";
    const Scene &s = l.scene;
    EXPECT_EQ(l.doc.version, 2);
    EXPECT_EQ(s.all_items().size(), 3u);
    const Item &cube = *s.find(0x10000000u);
    EXPECT_EQ(cube.name, "simple_cube");
    const Envelope &x = cube.channel(kPositionX).envelope;
    ASSERT_EQ(x.key_count(), 3u);
    EXPECT_EQ(x.keys()[1]->value, 2.069113);
    EXPECT_EQ(x.keys()[1]->time, 0.6666667);
    EXPECT_EQ(x.keys()[2]->value, -2.374866);
    EXPECT_EQ(x.keys()[2]->time, 1.333333);
    EXPECT_EQ(cube.channel(kPositionY).envelope.keys()[0]->value, -0.04);
    EXPECT_EQ(cube.channel(kScaleX).envelope.keys()[0]->value, 0.9797581);
    EXPECT_DOUBLE_EQ(s.find(0x20000000u)->channel(kHeading).envelope.keys()[0]->value, 45 * kDegree);
    EXPECT_DOUBLE_EQ(s.find(0x20000000u)->channel(kPitch).envelope.keys()[0]->value, 35 * kDegree);
    const Item &camera = *s.find(0x30000000u);
    EXPECT_EQ(camera.channel(kPositionZ).envelope.keys()[0]->value, -6.384);
    EXPECT_EQ(camera.channel(kScaleX).envelope.key_count(), 0u);  // six channels only
    EXPECT_EQ(x.post_behavior, EnvelopeBehavior::Constant);
}

TEST(LwsOldWrite, LinkChangesAreWrittenAsObjectNumbersAndReadBack) {
    Loaded l;
    ASSERT_TRUE(load_real(kCradle, &l)) << "no " << KR_TESTDATA_LWS << "/" << kCradle << ": these tests need ../shared/testdata beside the clone";
    const std::string original = l.doc.text;
    Scene &s = l.scene;
    const ItemIdValue ball = 0x10000002u, null = 0x1000000bu, string1 = 0x10000003u, light = 0x20000000u,
                      camera = 0x30000000u;
    ASSERT_EQ(s.set_parent(ball, null), "");
    ASSERT_EQ(s.set_parent(light, 0x10000000u), "");
    s.find(string1)->target = null;  // what setting a target does: aim heading and pitch
    s.find(string1)->controllers = {1, 1, 0};
    s.find(camera)->target = 0;
    s.find(camera)->controllers = {0, 0, 0};
    s.find(0x10000005u)->goal = null;
    const std::string out = render(l);
    EXPECT_NE(out.find("LockedChannels 5\nParentObject 12\nShadowOptions 7\n"), std::string::npos) << out;
    // A target is all LWSC 1 writes for aiming; the camera loses its line.
    EXPECT_NE(out.find("LockedChannels 43\nParentObject 1\nTargetObject 12\nShadowOptions"), std::string::npos);
    EXPECT_EQ(out.find("Controller"), std::string::npos);
    EXPECT_NE(out.find("EndBehavior 1\nZoomFactor"), std::string::npos);
    EXPECT_EQ(out.find("TargetObject", out.find("CameraMotion")), std::string::npos);
    EXPECT_NE(out.find("LockedChannels 2\nParentObject 1\nLightColor"), std::string::npos);
    EXPECT_NE(out.find("ParentObject 1\nGoalObject 12\n"), std::string::npos);
    // Everything else is as it was: one line replaced, five added, one removed.
    EXPECT_EQ(out.size(), original.size() - std::string("ParentObject 2\n").size() + std::string("ParentObject 12\n").size() +
                              std::string("TargetObject 12\nParentObject 1\nGoalObject 12\n").size() -
                              std::string("TargetObject 12\n").size() + 0);

    Loaded again = load_text(out);
    const Scene &r = again.scene;
    EXPECT_EQ(r.find(ball)->parent, null);
    EXPECT_EQ(r.find(light)->parent, 0x10000000u);
    EXPECT_EQ(r.find(string1)->target, null);
    EXPECT_EQ(r.find(string1)->controllers, (std::array<int, 3>{1, 1, 0}));
    EXPECT_EQ(r.find(camera)->target, 0u);
    EXPECT_EQ(r.find(camera)->controllers, (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(r.find(0x10000005u)->goal, null);
    EXPECT_EQ(render(again), out);

    // A target that does not aim, or IK on an item without one, needs the controller lines.
    again.scene.find(string1)->controllers = {0, 0, 0};
    again.scene.find(ball)->controllers = {3, 3, 0};
    const std::string controlled = render(again);
    EXPECT_NE(controlled.find("TargetObject 12\nHController 0\nPController 0\n"), std::string::npos) << controlled;
    EXPECT_NE(controlled.find("ParentObject 12\nHController 3\nPController 3\n"), std::string::npos);
    Loaded third = load_text(controlled);
    EXPECT_EQ(third.scene.find(string1)->controllers, (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(third.scene.find(ball)->controllers, (std::array<int, 3>{3, 3, 0}));
}

TEST(LwsOldWrite, LinksTheOldVersionsCannotHoldAreRefusedBeforeAnythingIsWritten) {
    const std::string text =
        "LWSC\n2\n\nLoadObject Objects/a.lwo\nAddBone\nBoneName b\nAddBone\nBoneName b2\nAddNullObject n\nAddLight\nLightName L\n"
        "AddCamera\nCameraName C\n";
    const ItemIdValue object = 0x10000000u, bone = 0x40000000u, null = 0x10000001u, light = 0x20000000u;
    const struct {
        void (*change)(Scene &);
        std::string expected;
    } cases[] = {
        {[](Scene &s) { s.set_parent(null, light); }, "old.lws: n: the scene format can only keep an object as parent, not the light L (LWSC 2 scene)"},
        {[](Scene &s) { s.set_parent(0x40010000u, bone); }, "b2: the scene format can only keep an object as parent, not the bone b"},
        {[](Scene &s) { s.find(null)->target = bone; }, "n: the scene format can only keep an object as target, not the bone b"},
        {[](Scene &s) { s.find(bone)->goal = light; }, "b: the scene format can only keep an object as IK goal"},
        {[](Scene &s) { s.find(bone)->pole = null; }, "b: the scene format cannot keep an IK pole (LWSC 2 scene)"},
        {[](Scene &s) { s.find(light)->position_item = null; }, "L: the scene format cannot keep a position item"},
        {[](Scene &s) { s.find(light)->rotation_item = null; }, "cannot keep a rotation item"},
        {[](Scene &s) { s.find(light)->scale_item = object; }, "cannot keep a scale item"},
    };
    const std::string path = ::testing::TempDir() + "lws_old_refused.lws";
    for (const auto &c : cases) {
        Loaded l = load_text(text);
        c.change(l.scene);
        std::remove(path.c_str());
        std::string error;
        EXPECT_FALSE(write_lws_file(l.doc, l.scene, path, true, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error << "\nwanted: " << c.expected;
        EXPECT_FALSE(std::ifstream(path).good());
    }
}

const char *const kLwsc1 =
    "LWSC\n1\n\nFramesPerSecond 25.000000\n\n"
    "LoadObject Objects/arm\nObjectMotion (unnamed)\n  9\n  2\n"
    "  0.0 1.0 0.0 90.000000 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
    "  2.500000 1.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  50 1 0.0 0.0 0.0\nEndBehavior 2\n"
    "PivotPoint 0.0 0.5 0.0\n\n"
    "AddNullObject Rest\nShowObject 4\n\n"
    "CameraMotion (unnamed)\n  9\n  1\n  0.0 0.0 -5.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\nEndBehavior 1\n"
    "TargetObject 1\n";

TEST(LwsOldWrite, Lwsc1KeyEditsKeepSharedFramesAndRefuseWhatOneKeyPerFrameCannotHold) {
    Loaded l = load_text(kLwsc1);
    const Item &arm = *l.scene.find(0x10000000u);
    EXPECT_EQ(arm.pivot, (Vec3{0, 0.5, 0}));
    EXPECT_EQ(arm.channel(kPositionX).envelope.keys()[1]->time, 2.0);
    EXPECT_EQ(arm.channel(kPositionX).envelope.post_behavior, EnvelopeBehavior::Repeat);
    EXPECT_EQ(l.scene.find(0x30000000u)->target, 0x10000000u);  // the camera's section starts at CameraMotion
    EXPECT_EQ(render(l), kLwsc1);

    // A value changed and a key added on every moving channel at frame 25; the
    // constant channels take their value there, the untouched key its text.
    {
        Loaded e = load_text(kLwsc1);
        Item &item = *e.scene.find(0x10000000u);
        item.channel(kHeading).envelope.keys()[0]->value = 45.5 * kDegree;
        item.channel(kPositionX).envelope.create_key(1.0, 1.25);
        item.channel(kHeading).envelope.create_key(1.0, -10 * kDegree);
        const std::string out = render(e);
        EXPECT_NE(out.find("ObjectMotion (unnamed)\n  9\n  3\n"
                           "  0.0 1.0 0.0 45.500000 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\n"
                           "  1.250000 1.0 0.0 -10.0 0.0 0.0 1.0 1.0 1.0\n  25 0 0.0 0.0 0.0\n"
                           "  2.500000 1.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  50 1 0.0 0.0 0.0\nEndBehavior 2\n"
                           "PivotPoint"),
                  std::string::npos)
            << out;
        Loaded back = load_text(out);
        const Envelope &heading = back.scene.find(0x10000000u)->channel(kHeading).envelope;
        ASSERT_EQ(heading.key_count(), 3u);
        EXPECT_NEAR(heading.keys()[0]->value, 45.5 * kDegree, 1e-9);
        EXPECT_NEAR(heading.keys()[1]->value, -10 * kDegree, 1e-9);
        EXPECT_EQ(heading.keys()[1]->time, 1.0);
        EXPECT_EQ(back.scene.find(0x10000000u)->channel(kPositionY).envelope.key_count(), 3u);
    }
    // An item without a motion gets one in the old layout.
    {
        Loaded e = load_text(kLwsc1);
        e.scene.find(0x10000001u)->set_static(kPositionX, Vec3{0, 2, 0});
        const std::string out = render(e);
        EXPECT_NE(out.find("AddNullObject Rest\nShowObject 4\nObjectMotion (unnamed)\n  9\n  1\n"
                           "  0.0 2.0 0.0 0.0 0.0 0.0 1.0 1.0 1.0\n  0 0 0.0 0.0 0.0\nEndBehavior 1\n\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(load_text(out).scene.find(0x10000001u)->channel(kPositionY).envelope.keys()[0]->value, 2.0);
    }
    const struct {
        void (*change)(Item &);
        std::string expected;
    } refused[] = {
        {[](Item &i) { i.channel(kPositionX).envelope.create_key(1.0, 3); },
         "arm: Rotation.H has keys on other frames than the item's other channels"},
        {[](Item &i) { Envelope &e = i.channel(kHeading).envelope; e.set_shape(e.keys()[1].get(), KeyShape::Hermite); },
         "arm: Rotation.H: the key at frame 50 differs in frame or spline"},
        {[](Item &i) { Envelope &e = i.channel(kPositionX).envelope; e.set_tension(e.keys()[0].get(), 0.5); },
         "the key at frame 0 differs"},
        {[](Item &i) {
             for (int c = 0; c < kMotionChannelCount; ++c)
                 i.channel(static_cast<MotionChannel>(c)).envelope.set_key_time(
                     i.channel(static_cast<MotionChannel>(c)).envelope.keys()[1].get(), 1.01);
         },
         "a key at 1.01 s is between frames"},
        {[](Item &i) { i.channel(kPositionX).envelope.post_behavior = EnvelopeBehavior::Oscillate; },
         "Position.X: this scene format keeps only one end behavior"},
        {[](Item &i) { i.channel(kPositionX).envelope.pre_behavior = EnvelopeBehavior::Repeat; },
         "holds the value before the first key (LWSC 1 scene)"},
    };
    for (const auto &c : refused) {
        Loaded e = load_text(kLwsc1);
        c.change(*e.scene.find(0x10000000u));
        std::string out, error;
        EXPECT_FALSE(render_lws(e.doc, e.scene, &out, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error << "\nwanted: " << c.expected;
    }
}

TEST(LwsOldWrite, Lwsc2KeyEditsKeepEachKeysTextAndThirdNumber) {
    Loaded l;
    ASSERT_TRUE(load_real(kCube56, &l)) << "no " << KR_TESTDATA_LWS << "/" << kCube56 << ": these tests need ../shared/testdata beside the clone";
    Item &cube = *l.scene.find(0x10000000u);
    cube.channel(kPositionX).envelope.keys()[1]->value = 1.5;
    cube.channel(kPositionX).envelope.create_key(2.0, 0.25);
    cube.channel(kHeading).envelope.keys()[0]->value = 30 * kDegree;
    cube.channel(kScaleZ).envelope.post_behavior = EnvelopeBehavior::Repeat;
    const std::string out = render(l);
    EXPECT_NE(out.find("  9\n  4\n  0 0 2 0 0 0\n  1.5 0.6666667 2 0 0 0\n  -2.374866 1.333333 2 0 0 0\n"
                       "  0.25 2 2 0 0 0\n  1\n  -0.04 0 2 0 0 0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  1\n  30 0 2 0 0 0\n"), std::string::npos);
    EXPECT_NE(out.find("Pre/PostBehavior 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 2\nPathAlignLookAhead"), std::string::npos);
    Loaded back = load_text(out);
    const Item &read = *back.scene.find(0x10000000u);
    ASSERT_EQ(read.channel(kPositionX).envelope.key_count(), 4u);
    EXPECT_EQ(read.channel(kPositionX).envelope.keys()[3]->time, 2.0);
    EXPECT_NEAR(read.channel(kHeading).envelope.keys()[0]->value, 30 * kDegree, 1e-9);
    EXPECT_EQ(read.channel(kScaleZ).envelope.post_behavior, EnvelopeBehavior::Repeat);
    EXPECT_EQ(read.channel(kScaleY).envelope.post_behavior, EnvelopeBehavior::Constant);
    // Only TCB splines exist in this layout; the camera has six channels.
    std::string error, refused;
    cube.channel(kPositionX).envelope.set_shape(cube.channel(kPositionX).envelope.keys()[0].get(), KeyShape::Linear);
    EXPECT_FALSE(render_lws(l.doc, l.scene, &refused, &error));
    EXPECT_NE(error.find("simple_cube: Position.X: this scene format keeps only TCB spline keys"), std::string::npos)
        << error;
    cube.channel(kPositionX).envelope.set_shape(cube.channel(kPositionX).envelope.keys()[0].get(), KeyShape::Tcb);
    l.scene.find(0x30000000u)->channel(kScaleX).envelope.default_value = 2;
    EXPECT_FALSE(render_lws(l.doc, l.scene, &refused, &error));
    EXPECT_NE(error.find("Camera: the motion in the file has 6 channels and cannot take Scale.X"), std::string::npos)
        << error;
}

TEST(LwsOldRead, BrokenOldFilesAreRefusedNamingTheLineAndWhatWasExpected) {
    const std::string good(kLwsc1);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const std::string lwsc2 = "LWSC\n2\n\nAddLight\nLightMotion (unnamed)\n  2\n  1\n  1 0 2 0 0 0\n  0\n"
                              "Pre/PostBehavior 1 1 1 1\n";
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"LWSC\n0\n", "old.lws:2: scene format 0 is unknown; expected version 1 or later"},
        {replaced("ObjectMotion (unnamed)", "ObjectMotion"), "old.lws:7: expected 'ObjectMotion (unnamed)'"},
        {replaced("  9\n  2\n", "  10\n  2\n"), "old.lws:8: expected from 1 to 9 motion channels, found 10"},
        {replaced("  9\n  2\n", "  9\n  -2\n"), "old.lws:9: expected a key count of 0 or more"},
        {replaced(" 1.0 1.0 1.0\n  0 0", " 1.0 1.0\n  0 0"), "old.lws:10: expected 9 channel values for key 1 of 2, found 8"},
        {replaced("90.000000", "ninety"), "old.lws:10: expected a number for a channel value, found 'ninety'"},
        {replaced("  50 1 0.0 0.0 0.0", "  50 1 0.0 0.0"), "old.lws:13: expected 'FRAME LINEAR TENSION CONTINUITY BIAS'"},
        {replaced("  50 1 0.0", "  50 2 0.0"), "old.lws:13: expected a linear flag of 0 or 1"},
        {replaced("  50 1 0.0", "  -5 1 0.0"), "old.lws:13: expected keys in increasing frames"},
        {replaced("EndBehavior 2", "EndBehavior 4"), "old.lws:14: expected an EndBehavior from 0 to 2"},
        {good.substr(0, good.find("  50 1")), "old.lws:12: the file ends early; expected 'FRAME LINEAR TENSION"},
        {replaced("TargetObject 1", "TargetObject 0"), "old.lws:26: expected an object number from 1 to 65536 for TargetObject"},
        {"LWSC\n3\n\nAddNullObject A\nAddNullObject B\nGoalObject 65537\n",
         "old.lws:6: expected an object number from 1 to 65536 for GoalObject"},
        // A number past 32 bits once wrapped round to a small one and named the wrong object
        // (where a whole number is 32 bits wide it is refused as too large).
        {"LWSC\n3\n\nAddNullObject A\nAddNullObject B\nGoalObject 4294967297\n", "old.lws:6: expected a"},
        {replaced("TargetObject 1", "TargetObject 3"), "old.lws:26: TargetObject 3 names no object (the scene has 2)"},
        {good + "ParentObject x\n", "old.lws:27: expected a whole number for ParentObject, found 'x'"},
        {good + "AddNullObject Loop\nParentObject 3\n", "old.lws:28: ParentObject: an item cannot be its own parent"},
        {good + "ShowCamera 1\n", ""},  // the camera's own section goes on
        {good + "AddLight\nShowCamera 1\n", "old.lws:28: ShowCamera of a second camera; LWSC 1 scenes have one"},
        {lwsc2, ""},
        {"LWSC\n1\n\nFramesPerSecond 0.5\nLoadObject a\nObjectMotion (unnamed)\n  1\n  1\n  0.0\n  1e308 0 0.0 0.0 0.0\n",
         "old.lws:5: a key's frame is beyond the times this host can hold at 0.5 frames per second"},
        {lwsc2.substr(0, lwsc2.find("  0\n")), "old.lws:8: the file ends early; expected the key count of channel 1"},
        {"LWSC\n2\n\nAddLight\nLightMotion (unnamed)\n  1\n  1\n  1 0 2 0 0\n",
         "old.lws:8: expected 'VALUE TIME FLAG TENSION CONTINUITY BIAS'"},
        {"LWSC\n2\n\nAddLight\nLightMotion (unnamed)\n  1\n  2\n  1 1 2 0 0 0\n  1 0 2 0 0 0\n",
         "old.lws:9: expected keys in increasing time"},
        {"LWSC\n2\n\nAddLight\nLightMotion (unnamed)\n  1\n  0\nPre/PostBehavior 1 1 1\n",
         "old.lws:8: expected 'Pre/PostBehavior' with a pre and a post behavior for each of the 1 channels"},
        {"LWSC\n2\n\nAddLight\nLightMotion (unnamed)\n  1\n  0\nPre/PostBehavior 1 6\n",
         "old.lws:8: expected behaviors from 0 to 5"},
    };
    for (const auto &c : cases) {
        Scene scene;
        scene.add_object("kept");
        LwsDocument doc;
        std::string error;
        const bool read = read_lws_text(c.text, "old.lws", &scene, &doc, &error);
        if (c.expected.empty()) {
            EXPECT_TRUE(read) << error;
            continue;
        }
        EXPECT_FALSE(read) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error << "\nwanted: " << c.expected;
        EXPECT_NE(scene.find_by_name("kept"), nullptr);
    }
}

TEST(LwsOldRead, NewerFilesKeepTheOldLinkWordsAsTextTheyDoNotRead) {
    const std::string text = "LWSC\n3\n\nAddNullObject A\nAddNullObject B\nParentObject 1\nTargetObject 1\n"
                             "PivotPoint 1 2 3\n";
    Loaded l = load_text(text);
    const Item &b = *l.scene.find(0x10000001u);
    EXPECT_EQ(b.parent, 0u);
    EXPECT_EQ(b.target, 0u);
    EXPECT_EQ(b.pivot, (Vec3{0, 0, 0}));
    EXPECT_EQ(render(l), text);
}

}  // namespace
}  // namespace headless
