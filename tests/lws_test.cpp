// Scene files: reading real and hand-made files, writing them back byte for
// byte, writing changes in the file's conventions, and refusing broken files.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <random>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "lws_fixture.h"
#include "interface/host_api.h"

namespace headless {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<std::string> files_in(const std::string &folder, const std::string &suffix) {
    std::vector<std::string> out;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) out.push_back(folder + "/" + name);
        }
        closedir(dir);
    }
    return out;
}

Loaded load_text(const std::string &text, const std::string &name = "hand.lws") { return load_lws(text, name); }

TEST(LwsRoundTrip, EveryRealFileAndExampleComesBackByteForByte) {
    std::vector<std::string> files = files_in(KR_TESTDATA_LWS, ".lws");
    const size_t real_files = files.size();
    for (const std::string &example : files_in(KR_EXAMPLES_DIR, ".lws")) files.push_back(example);
    if (real_files == 0) FAIL() << "no scene files in " << KR_TESTDATA_LWS << ": these tests need ../shared/testdata beside the clone";
    int round_tripped = 0;
    for (const std::string &path : files) {
        Scene scene;
        LwsDocument doc;
        std::string error, out;
        const std::string original = read_all(path);
        ASSERT_TRUE(read_lws_file(path, &scene, &doc, &error)) << error;
        EXPECT_FALSE(scene.all_items().empty()) << path;
        ASSERT_TRUE(render_lws(doc, scene, &out, &error)) << error;
        EXPECT_TRUE(out == original) << path;
        ++round_tripped;
    }
    EXPECT_GE(round_tripped, 10);
}

TEST(LwsRead, IkRigOfAnOlderFileResolvesImplicitIdsForwardReferencesAndGlueLines) {
    const std::string path = std::string(KR_TESTDATA_LWS) + "/astrofra__legacy-lightwave-projects__Smilla_IK.lws";
    Loaded l;
    std::string error;
    ASSERT_TRUE(read_lws_file(path, &l.scene, &l.doc, &error)) << error << " (these tests need ../shared/testdata beside the clone)";
    EXPECT_EQ(l.doc.line_ending, "\r\n");
    EXPECT_EQ(l.scene.frames_per_second, 25);
    const Item *base = l.scene.find_by_name("Base");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->id, 0x40000000u);
    EXPECT_EQ(base->parent, 0x40110000u);  // a bone declared later
    EXPECT_EQ(l.scene.find(0x40110000u)->name, "basedown");
    // GoalObject 8: the eighth object in file order.
    EXPECT_EQ(l.scene.find_by_name("neck")->goal, l.scene.find_by_name("neck_target")->id);
    EXPECT_TRUE(l.scene.find_by_name("neck")->flags & host_abi::kItemFlagFullTimeIk);
    EXPECT_EQ(l.scene.find_by_name("hand_left")->target, l.scene.find_by_name("left_arm_target")->id);
    // "HJointStiffness 50PController 3"
    EXPECT_EQ(l.scene.find_by_name("arm_left")->controllers, (std::array<int, 3>{3, 3, 3}));
    EXPECT_NE(l.scene.find_by_name("Light (4)"), nullptr);
    const Item *smila = l.scene.find_by_name("smila");
    EXPECT_NEAR(smila->pivot[1], 0.949667, 1e-12);
}

TEST(LwsRead, NewerFileKeepsExplicitIdsAndPivotRotationInRadians) {
    const std::string path = std::string(KR_TESTDATA_LWS) + "/sandrum__lightwave3D-MCP__WeightTest_rig.lws";
    Loaded l;
    std::string error;
    ASSERT_TRUE(read_lws_file(path, &l.scene, &l.doc, &error)) << error << " (these tests need ../shared/testdata beside the clone)";
    EXPECT_EQ(l.doc.version, 8);
    const Item *upper = l.scene.find_by_name("WT_Upper");
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(upper->id, 0x40010000u);
    EXPECT_EQ(upper->parent, 0x40000000u);
    EXPECT_EQ(l.scene.find(0x40000000u)->parent, 0x10000000u);
}

// A scene written for these tests: every key shape and behaviour.
const char *const kShapes =
    "LWSC\n5\n\nFirstFrame -10\nLastFrame 90\nFramesPerSecond 24\nCurrentFrame 12\n\n"
    "AddNullObject 10000004 Root\nObjectMotion\nNumChannels 9\n"
    "Channel 0\n{ Envelope\n  6\n"
    "  Key 1 -0.5 0 0.5 -0.25 0.125 1.5 2.5 0\n"
    "  Key 2 0 1 0 0 0 0.75 -0.75 0\n"
    "  Key 3 0.5 2 0 0 0 1 1 0\n"
    "  Key 4 1 3 0 0 0 115.04348 0 0\n"
    "  Key 5 1.5 4 0 0 0 0 0 0\n"
    "  Key 6 2 5 -0.1 0.2 0.3 -0.4 0.9 0\n"
    "  Behaviors 4 3\n}\n"
    "Channel 1\n{ Envelope\n  0\n  Behaviors 0 2\n}\n"
    "Channel 2\n{ Envelope\n  1\n  Key 7 0 0 0 0 0 0 0 0\n  Behaviors 5 5\n}\n"
    "Channel 3\n{ Envelope\n  1\n  Key 1.5707963267948966 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 4\n{ Envelope\n  1\n  Key 0 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 5\n{ Envelope\n  1\n  Key 0 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 6\n{ Envelope\n  1\n  Key 1 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 7\n{ Envelope\n  1\n  Key 1 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"
    "Channel 8\n{ Envelope\n  1\n  Key 1 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n\n"
    "PivotPosition 1 2 3\nPivotRotation 90 0 -45\n";

TEST(LwsRead, EveryKeyShapeParameterAndBehaviourReadsBackWithItsValues) {
    Loaded l = load_text(kShapes);
    EXPECT_EQ(l.scene.frame_start, -10);
    EXPECT_EQ(l.scene.frame_end, 90);
    EXPECT_EQ(l.scene.frames_per_second, 24);
    EXPECT_DOUBLE_EQ(l.scene.time, 0.5);
    const Item &root = *l.scene.find(0x10000004u);
    EXPECT_EQ(root.name, "Root");
    EXPECT_DOUBLE_EQ(root.pivot_rotation[0], kPi / 2);
    EXPECT_DOUBLE_EQ(root.pivot_rotation[2], -kPi / 4);
    const Envelope &x = root.channel(kPositionX).envelope;
    ASSERT_EQ(x.key_count(), 6u);
    const auto &k = x.keys();
    EXPECT_EQ(k[0]->time, -0.5);
    EXPECT_EQ(k[0]->value, 1);
    EXPECT_EQ(k.details(0).shape(), KeyShape::Tcb);
    EXPECT_EQ(k.details(0).tension(), 0.5);
    EXPECT_EQ(k.details(0).continuity(), -0.25);
    EXPECT_EQ(k.details(0).bias(), 0.125);
    EXPECT_EQ(k.details(0).param(0), 1.5);  // incoming tangent
    EXPECT_EQ(k.details(0).param(1), 2.5);  // outgoing tangent
    EXPECT_EQ(k.details(1).shape(), KeyShape::Hermite);
    EXPECT_EQ(k.details(1).param(1), -0.75);
    EXPECT_EQ(k.details(2).shape(), KeyShape::Bezier);
    EXPECT_EQ(k.details(3).shape(), KeyShape::Linear);
    EXPECT_EQ(k.details(4).shape(), KeyShape::Stepped);
    EXPECT_EQ(k.details(5).shape(), KeyShape::Bezier2D);
    EXPECT_EQ(k.details(5).param(0), -0.1);  // incoming handle time
    EXPECT_EQ(k.details(5).param(1), 0.2);
    EXPECT_EQ(k.details(5).param(2), 0.3);   // outgoing handle time
    EXPECT_EQ(k.details(5).param(3), -0.4);
    EXPECT_EQ(x.pre_behavior, EnvelopeBehavior::OffsetRepeat);
    EXPECT_EQ(x.post_behavior, EnvelopeBehavior::Oscillate);
    const Envelope &y = root.channel(kPositionY).envelope;
    EXPECT_EQ(y.key_count(), 0u);
    EXPECT_EQ(y.pre_behavior, EnvelopeBehavior::Reset);
    EXPECT_EQ(y.post_behavior, EnvelopeBehavior::Repeat);
    EXPECT_EQ(root.channel(kPositionZ).envelope.pre_behavior, EnvelopeBehavior::Linear);
    EXPECT_EQ(root.channel(kHeading).envelope.keys()[0]->value, 1.5707963267948966);  // radians stay radians
    EXPECT_EQ(render(l), kShapes);
}

TEST(LwsRead, KeyNumbersOfEveryLengthReadAsTheCLibraryReadsThem) {
    // Runs of digits are read several at a time: every length and position
    // of the point, signs, and a run that ends the line, against strtod.
    const std::string digits = "98765432109876543210987654";
    for (size_t length = 1; length <= 25; ++length)
        for (size_t point = 0; point <= length; ++point)
            for (const char *sign : {"", "-"}) {
                const std::string whole = point ? digits.substr(0, point) : "0";
                const std::string word = sign + whole + (point < length ? "." + digits.substr(point, length - point) : "");
                const std::string line = "Key " + word + " " + word + " 0 0 0 0 0 0 " + word;
                double numbers[9];
                ASSERT_TRUE(parse_lws_key_line(line, numbers)) << line;
                const double expected = std::strtod(word.c_str(), nullptr);
                EXPECT_EQ(numbers[0], expected) << word;
                EXPECT_EQ(numbers[8], expected) << word;
                // The usual ending, seven zeros, with each number's text.
                const std::string usual = "Key " + word + " " + word + " 0 0 0 0 0 0 0";
                std::string_view texts[9];
                ASSERT_TRUE(parse_lws_key_line(usual, numbers, texts));
                EXPECT_EQ(numbers[1], expected) << word;
                EXPECT_EQ(texts[1], word);
                for (int z = 2; z < 9; ++z) EXPECT_TRUE(numbers[z] == 0.0 && texts[z] == "0") << word;
            }
}

TEST(LwsWrite, ChangedKeysAreWrittenInTheFilesStyleAndUnchangedKeysKeepTheirText) {
    Loaded l = load_text(kShapes);
    Envelope &x = l.scene.find(0x10000004u)->channel(kPositionX).envelope;
    EnvelopeKey *added = x.create_key(2.0 / 3.0, -0.25);
    x.set_shape(added, KeyShape::Linear);
    x.post_behavior = EnvelopeBehavior::Constant;
    Envelope &bezier = l.scene.find(0x10000004u)->channel(kPositionX).envelope;
    bezier.set_param(bezier.keys()[6].get(), 3, -0.5);  // the 2D Bezier key, now last
    const std::string out = render(l);
    EXPECT_NE(out.find("{ Envelope\n  7\n  Key 1 -0.5 0 0.5 -0.25 0.125 1.5 2.5 0\n"), std::string::npos);
    // New and changed numbers in their shortest exact text, the others as the file had them.
    EXPECT_NE(out.find("  Key -0.25 0.6666666666666666 3 0 0 0 0 0 0\n  Key 4 1 3"), std::string::npos) << out;
    EXPECT_NE(out.find("  Key 6 2 5 -0.1 0.2 0.3 -0.5 0.9 0\n  Behaviors 4 1\n}\n"), std::string::npos) << out;
    Loaded again = load_text(out);
    const Envelope &read = again.scene.find(0x10000004u)->channel(kPositionX).envelope;
    ASSERT_EQ(read.key_count(), 7u);
    EXPECT_EQ(read.keys()[3]->time, 2.0 / 3.0);
    EXPECT_EQ(read.keys().details(6).param(3), -0.5);
    EXPECT_EQ(read.keys().details(6).bezier_extra(0), 0.9);  // the 2D Bezier key's fifth number survives the edit
    EXPECT_EQ(read.post_behavior, EnvelopeBehavior::Constant);
    // Only that channel's block changed.
    const size_t channel1 = out.find("Channel 1\n");
    EXPECT_EQ(out.substr(channel1), std::string(kShapes).substr(std::string(kShapes).find("Channel 1\n")));

    // A file that writes more digits than it takes: a changed key keeps the
    // text of the numbers that did not change, so a diff shows only the change.
    Loaded digits = load_text("LWSC\n5\n\nAddNullObject 10000000 N\nObjectMotion\nNumChannels 1\nChannel 0\n{ Envelope\n  2\n"
                              "  Key 1.9333333 0 0 0 0 0 0 0 0\n"
                              "  Key 1.9333333 0.033333333333333333 0 0.10000000000000001 0 0 0 0 0\n"
                              "  Behaviors 1 1\n}\n");
    Envelope &n = digits.scene.find(0x10000000u)->channel(kPositionX).envelope;
    n.keys()[1]->value = 2.5;
    EXPECT_NE(render(digits).find("  Key 1.9333333 0 0 0 0 0 0 0 0\n"
                                  "  Key 2.5 0.033333333333333333 0 0.10000000000000001 0 0 0 0 0\n"),
              std::string::npos)
        << render(digits);

    // Only values changed, as re-parenting leaves them: a key line keeps all
    // its text but a changed value's word.
    Loaded spaced = load_text("LWSC\n5\n\nAddNullObject 10000000 N\nObjectMotion\nNumChannels 1\nChannel 0\n{ Envelope\n  2\n"
                              "\tKey  1.0\t0 0 0 0 0 0 0 0 \n"
                              "  Key 3 1  0 0 0 0 0 0 0\n"
                              "  Behaviors 1 1\n}\n");
    Envelope &sp = spaced.scene.find(0x10000000u)->channel(kPositionX).envelope;
    sp.keys()[0]->value = 1.0;
    sp.keys()[1]->value = -4.25;
    EXPECT_NE(render(spaced).find("{ Envelope\n  2\n\tKey  1.0\t0 0 0 0 0 0 0 0 \n  Key -4.25 1  0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n"),
              std::string::npos)
        << render(spaced);
}

TEST(LwsWrite, KeysMovedOntoAnotherKeysTimeAreWrittenAndReadBack) {
    Loaded l = load_text(kShapes);
    Envelope &x = l.scene.find(0x10000004u)->channel(kPositionX).envelope;
    ASSERT_TRUE(x.set_key_time(x.keys()[2].get(), 0.0));  // onto the key at 0
    ASSERT_TRUE(x.set_key_time(x.keys()[5].get(), 1.5));  // onto the last-but-one
    const std::string out = render(l);
    Loaded again = load_text(out);
    ASSERT_NE(again.scene.find(0x10000004u), nullptr);
    const Envelope &read = again.scene.find(0x10000004u)->channel(kPositionX).envelope;
    ASSERT_EQ(read.key_count(), 6u);
    const double times[] = {-0.5, 0, 0, 1, 1.5, 1.5}, values[] = {1, 2, 3, 4, 5, 6};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(read.keys()[i]->time, times[i]) << i;
        EXPECT_EQ(read.keys()[i]->value, values[i]) << i;
    }
    EXPECT_EQ(read.keys().details(5).shape(), KeyShape::Bezier2D);
    EXPECT_EQ(render(again), out);
    // Keys that go back in time are still refused.
    std::string bad = out, error;
    bad.replace(bad.find("Key 4 1 "), 8, "Key 4 -1 ");
    Scene scene;
    LwsDocument doc;
    EXPECT_FALSE(read_lws_text(bad, "hand.lws", &scene, &doc, &error));
    EXPECT_NE(error.find(":18: expected keys in increasing time"), std::string::npos) << error;
}

const char *const kOlderRig =
    "LWSC\r\n3\r\n\r\nFramesPerSecond 30\r\n\r\n"
    "LoadObjectLayer 1 Objects/body.lwo\r\nShowObject 6 3\r\nObjectMotion\r\nNumChannels 1\r\nChannel 0\r\n"
    "{ Envelope\r\n  1\r\n  Key 0 0 0 0 0 0 0 0 0\r\n  Behaviors 1 1\r\n}\r\n\r\nShadowOptions 7\r\n\r\n"
    "AddBone\r\nBoneName upper\r\nBoneMotion\r\nNumChannels 1\r\nChannel 0\r\n"
    "{ Envelope\r\n  1\r\n  Key 0 0 0 0 0 0 0 0 0\r\n  Behaviors 1 1\r\n}\r\n\r\n"
    "HController 3\r\nHJointStiffness 50PController 3\r\nParentItem 40010000\r\n"
    "AddBone\r\nBoneName lower\r\nBoneMotion\r\nNumChannels 1\r\nChannel 0\r\n"
    "{ Envelope\r\n  1\r\n  Key 0 0 0 0 0 0 0 0 0\r\n  Behaviors 1 1\r\n}\r\n\r\nLockedChannels 3\r\n"
    "AddNullObject goal\r\n"
    "AddNullObject holder\r\nPivotPosition 0 1 0\r\nPivotRotation 0 0 0\r\n"
    "AddLight\r\nLightName Key\r\nParentItem 10000002\r\n";

TEST(LwsWrite, ChangedLinksGoWhereLayoutWritesThemInTheFilesConventions) {
    Loaded l = load_text(kOlderRig);
    const ItemIdValue body = 0x10000000u, upper = 0x40000000u, lower = 0x40010000u, goal = 0x10000001u,
                      holder = 0x10000002u, light = 0x20000000u;
    EXPECT_EQ(l.scene.find(upper)->controllers, (std::array<int, 3>{3, 3, 0}));
    ASSERT_EQ(l.scene.set_parent(upper, 0), "");      // back under its object, said explicitly
    ASSERT_EQ(l.scene.set_parent(lower, upper), "");  // a new line after LockedChannels
    ASSERT_EQ(l.scene.set_parent(body, holder), "");  // after the envelope's blank line
    ASSERT_EQ(l.scene.set_parent(light, 0), "");
    l.scene.find(upper)->controllers = {3, 0, 1};      // the glued one is split off
    l.scene.find(upper)->goal = goal;
    l.scene.find(upper)->flags |= host_abi::kItemFlagFullTimeIk;
    l.scene.find(holder)->target = goal;
    l.scene.find(upper)->channel(kPositionX).envelope.keys()[0]->value = 1.0 / 3.0;
    l.scene.find(upper)->channel(kPositionX).envelope.create_key(-1e-12, 2);
    const std::string out = render(l);
    EXPECT_NE(out.find("\r\n\r\nParentItem 10000002\r\nShadowOptions 7\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  Key 2 -1e-12 0 0 0 0 0 0 0\r\n  Key 0.3333333333333333 0 0"),
              std::string::npos) << out;
    EXPECT_NE(out.find("HController 3\r\nHJointStiffness 50\r\nBController 1\r\nGoalObject 2\r\nFullTimeIK 1\r\n"
                       "ParentItem 10000000\r\nAddBone\r\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("LockedChannels 3\r\nParentItem 40000000\r\nAddNullObject goal"), std::string::npos) << out;
    EXPECT_NE(out.find("PivotRotation 0 0 0\r\nTargetItem 10000001\r\nAddLight"), std::string::npos) << out;
    EXPECT_NE(out.find("LightName Key\r\n"), std::string::npos);
    EXPECT_EQ(out.find("ParentItem 10000002\r\n", out.find("AddLight")), std::string::npos);
    EXPECT_EQ(out.find("\n", 0) - 1, out.find("\r\n"));

    Loaded again = load_text(out);
    const Scene &s = again.scene;
    EXPECT_EQ(s.find(upper)->parent, body);
    EXPECT_EQ(s.find(lower)->parent, upper);
    EXPECT_EQ(s.find(body)->parent, holder);
    EXPECT_EQ(s.find(light)->parent, 0u);
    EXPECT_EQ(s.find(upper)->controllers, (std::array<int, 3>{3, 0, 1}));
    EXPECT_EQ(s.find(upper)->goal, goal);
    EXPECT_TRUE(s.find(upper)->flags & host_abi::kItemFlagFullTimeIk);
    EXPECT_EQ(s.find(holder)->target, goal);
    EXPECT_NEAR(s.find(upper)->channel(kPositionX).envelope.keys()[1]->value, 1.0 / 3.0, 1e-8);
    // Clearing what was set removes the lines again.
    again.scene.find(upper)->flags = 0;
    again.scene.find(upper)->goal = 0;
    again.scene.find(holder)->target = 0;
    const std::string cleared = render(again);
    EXPECT_EQ(cleared.find("GoalObject"), std::string::npos);
    EXPECT_EQ(cleared.find("FullTimeIK"), std::string::npos);
    EXPECT_EQ(cleared.find("TargetItem"), std::string::npos);
}

TEST(LwsRead, FilesFromOtherSystemsAndNewerVersionsAreReadAndWrittenBackAsTheyWere) {
    // Classic Mac line ends: read, and lines written anew end the same way.
    std::string mac(kOlderRig);
    for (size_t at; (at = mac.find("\r\n")) != std::string::npos;) mac.erase(at + 1, 1);
    Loaded l = load_text(mac);
    EXPECT_EQ(l.scene.find(0x20000000u)->parent, 0x10000002u);
    EXPECT_EQ(render(l), mac);
    ASSERT_EQ(l.scene.set_parent(0x10000001u, 0x10000000u), "");
    l.scene.find(0x40000000u)->channel(kPositionX).envelope.keys()[0]->value = 0.5;
    const std::string out = render(l);
    EXPECT_EQ(out.find('\n'), std::string::npos);
    EXPECT_NE(out.find("\r  Key 0.5 0 0 0 0 0 0 0 0\r"), std::string::npos) << out;
    EXPECT_NE(out.find("AddNullObject goal\rParentItem 10000000\rAddNullObject holder\r"), std::string::npos) << out;
    Loaded again = load_text(out);
    EXPECT_EQ(again.scene.find(0x10000001u)->parent, 0x10000000u);

    // A UTF-8 byte order mark stays where it was.
    const std::string marked = "\xEF\xBB\xBF" + std::string(kShapes);
    Loaded bom = load_text(marked);
    bom.scene.find(0x10000004u)->channel(kPositionZ).envelope.keys()[0]->value = 8;
    std::string expected = marked;
    EXPECT_EQ(render(bom), expected.replace(expected.find("Key 7 0 0"), 5, "Key 8"));

    // A version newer than any known is read, with a warning naming it.
    std::string newer(kShapes);
    newer.replace(newer.find("LWSC\n5\n"), 7, "LWSC\n12\n");
    Loaded future = load_text(newer, "future.lws");
    EXPECT_EQ(render(future), newer);
    ASSERT_EQ(future.doc.warnings.size(), 1u);
    EXPECT_NE(future.doc.warnings[0].find("future.lws:2: scene format version 12 is newer"), std::string::npos)
        << future.doc.warnings[0];
    EXPECT_TRUE(load_text(kShapes).doc.warnings.empty());
}

#ifndef _WIN32
TEST(LwsRead, AFileThatCannotBeOpenedSaysWhy) {
    Scene scene;
    LwsDocument doc;
    std::string error;
    const std::string missing = ::testing::TempDir() + "lws_no_such_scene.lws";
    EXPECT_FALSE(read_lws_file(missing, &scene, &doc, &error));
    EXPECT_EQ(error, missing + ": cannot open the file for reading (No such file or directory)");
    if (::geteuid() == 0) GTEST_SKIP() << "an administrator may read any file";
    const std::string locked = ::testing::TempDir() + "lws_locked_scene.lws";
    {
        std::ofstream(locked, std::ios::binary) << kShapes;
    }
    ::chmod(locked.c_str(), 0);
    EXPECT_FALSE(read_lws_file(locked, &scene, &doc, &error));
    EXPECT_EQ(error, locked + ": cannot open the file for reading (Permission denied)");
    std::remove(locked.c_str());
}
#endif

TEST(LwsRead, WholeObjectFilesLoadWithAndWithoutAnIdAndComeBackUnchanged) {
    const std::string older =
        "LWSC\n3\n\nLoadObject Objects/Big Crate.lwo\nShowObject 6 3\nAddBone\nBoneName lid\n"
        "LoadObject C:\\Props\\barrel.lwo\nParentItem 10000000\n";
    Loaded a = load_text(older);
    const Item *crate = a.scene.find(0x10000000u);
    ASSERT_NE(crate, nullptr);
    EXPECT_EQ(crate->name, "Big Crate");
    EXPECT_EQ(a.scene.find(0x40000000u)->name, "lid");
    ASSERT_NE(a.scene.find(0x10000001u), nullptr);
    EXPECT_EQ(a.scene.find(0x10000001u)->name, "barrel");
    EXPECT_EQ(a.scene.find(0x10000001u)->parent, 0x10000000u);
    EXPECT_EQ(render(a), older);

    const std::string newer = "LWSC\n5\n\nLoadObject 1000000a Objects/wheel.lwo\nAddBone 4000000a\n"
                              "LoadObject 10000002 Objects/Axle 2.lwo\n";
    Loaded b = load_text(newer);
    ASSERT_NE(b.scene.find(0x1000000au), nullptr);
    EXPECT_EQ(b.scene.find(0x1000000au)->name, "wheel");
    EXPECT_EQ(b.scene.find(0x4000000au)->parent, 0x1000000au);
    EXPECT_EQ(b.scene.find(0x10000002u)->name, "Axle 2");
    ASSERT_EQ(b.scene.set_parent(0x10000002u, 0x1000000au), "");
    const std::string out = render(b);
    EXPECT_EQ(out, newer + "ParentItem 1000000a\n");
}

TEST(LwsRead, BrokenFilesAreRefusedNamingTheFileLineAndWhatWasExpected) {
    const std::string good(kShapes);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {good.substr(0, good.find("  Behaviors 4 3")), "hand.lws:20: the file ends early; expected '}' closing the envelope opened at line 13"},
        {good.substr(0, good.find("Channel 8")), "expected 'Channel' (1 of 9 channels still to come)"},
        {replaced("Channel 8\n{ Envelope\n  1\n  Key 1 0 0 0 0 0 0 0 0\n  Behaviors 1 1\n}\n\n", "\n"),
         ":64: expected 'Channel N': NumChannels says 9 but only 8 follow"},
        {replaced("Key 3 0.5 2", "Key 3 0.5x 2"), "hand.lws:17: expected a number for a key, found '0.5x'"},
        {replaced("Key 3 0.5 2 0 0 0 1 1 0", "Key 3 0.5 2 0 0 0 1 1"), ":17: expected 'Key VALUE TIME SHAPE'"},
        {replaced("Key 3 0.5 2", "Key 3 0.5 9"), ":17: expected a key shape from 0 to 5"},
        {replaced("Key 3 0.5 2", "Key 3 -0.5 2"), ":17: expected keys in increasing time"},
        // The first error in the file is named, even one in an envelope's keys.
        {replaced("Key 3 0.5 2", "Key 3 0.5x 2") + "FramesPerSecond fast\n", ":17: expected a number for a key"},
        {replaced("Behaviors 4 3", "Behaviors 4 7"), ":21: expected behaviors from 0 to 5"},
        {replaced("FramesPerSecond 24", "FramesPerSecond fast"), "hand.lws:6: expected a number for FramesPerSecond"},
        {good + "ParentItem 10000009\n", ":73: unknown item reference 10000009"},
        {good + "AddNullObject 10000004 Again\n", ":73: duplicate item id 10000004 (first declared at line 9)"},
        {good + "AddNullObject 2000000a Light\n", ":73: the id 2000000a is not an id of an object"},
        {good + "AddBone 40000003\n", ":73: the bone id 40000003 does not belong to the object before it"},
        {good + "AddNullObject 10000005 Child\nParentItem 10000004\nAddNullObject 10000006 Loop\n"
                "ParentItem 10000005\n" + "TargetItem\n", ":77: expected an item"},
        {good + "Plugin MasterHandler 1 X\n{ Data\n", ":74: the file ends inside the plug-in opened at line 73"},
        {good + "{ Block\n  { Inner\n  }\n", ":75: the file ends inside the block opened at line 73"},
        {"LWSC\n", "hand.lws:1: the file ends early; expected the format version"},
        {"LWSX\n3\n", "hand.lws:1: expected 'LWSC'"},
    };
    for (const auto &c : cases) {
        Scene scene;
        scene.add_object("kept");
        LwsDocument doc;
        std::string error;
        EXPECT_FALSE(read_lws_text(c.text, "hand.lws", &scene, &doc, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "got: " << error << "\nwanted: " << c.expected;
        EXPECT_NE(scene.find_by_name("kept"), nullptr);  // a failed load leaves the scene alone
    }
    // A wrong key count loses nothing: the keys are used, with a warning.
    Loaded l = load_text(replaced("{ Envelope\n  6\n", "{ Envelope\n  5\n"));
    EXPECT_EQ(l.scene.find(0x10000004u)->channel(kPositionX).envelope.key_count(), 6u);
    ASSERT_EQ(l.doc.warnings.size(), 1u);
    EXPECT_NE(l.doc.warnings[0].find("hand.lws:14: the envelope says 5 keys but holds 6"), std::string::npos);
    // Lines in an envelope besides its keys are text, and count for the lines after them.
    l = load_text(replaced("  Behaviors 4 3\n", "  Behaviors 4 3\n  // kept\n") + "AddNullObject 10000005 Next\n");
    ASSERT_EQ(l.doc.items.size(), 2u);
    EXPECT_EQ(l.doc.items[1].line, 74);
}

TEST(LwsRead, FilesAddingMoreItemsThanIdsExistForAreRefusedAtTheLineThatDoesIt) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {[] {
             std::string t = "LWSC\n3\n\n";
             for (int i = 0; i <= 0x10000; ++i) t += "AddLight\n";
             return t;
         }(),
         "many.lws:65540: more than 65536 lights; a scene holds at most 65536 items of a kind"},
        {[] {
             std::string t = "LWSC\n3\n\nAddNullObject Rig\n";
             for (int i = 0; i <= 0x1000; ++i) t += "AddBone\n";
             return t;
         }(),
         "many.lws:4101: more than 4096 bones in the object Rig"},
    };
    for (const auto &c : cases) {
        Scene scene;
        LwsDocument doc;
        std::string error;
        EXPECT_FALSE(read_lws_text(c.text, "many.lws", &scene, &doc, &error));
        EXPECT_EQ(error, c.expected);
    }
}

// Saving a large scene: changed values in the standard library's shortest
// text, and changed blocks made apart (a few ahead on a second thread; a
// large block straight into the file), each in its place.
TEST(LwsWrite, ChangedValuesTakeTheShortestTextThatReadsBack) {
    std::mt19937_64 random(2026);
    std::vector<double> values = {0.0, -0.0, 1.0, 0.1, 0.3, 2.5, 1e-5, 5e-10, 123456.0, 4.5e15, 1e22, 1e300, 5e-324};
    for (int e = -1074; e < 1024; ++e) values.push_back(std::ldexp(1.0, e));  // the bound below is nearer there
    for (int i = 0; i < 60000; ++i) {
        uint64_t bits = random();
        if (i % 2) bits = (bits & 0x800FFFFFFFFFFFFFull) | (uint64_t{991 + random() % 84} << 52);  // 5e-10 to 1
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) values.push_back(value);
        // Short decimals and their neighbours: ties and bounds.
        char text[32];
        std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(random() % 100000000),
                      static_cast<int>(random() % 26) - 20);
        const double decimal = std::strtod(text, nullptr);
        values.insert(values.end(), {decimal, std::nextafter(decimal, 0.0), std::nextafter(decimal, 1e300)});
    }
    for (double value : values) {
        char mine[32], standard[32];
        const std::string written(mine, write_lws_shortest(mine, value));
        const std::string expected(standard, std::to_chars(standard, standard + 32, value == 0.0 ? 0.0 : value).ptr);
        ASSERT_EQ(written, expected) << std::hexfloat << value;
    }
}

TEST(LwsWrite, ALargeSceneSavedInPiecesComesBackWithEveryChangedValue) {
    std::string text = "LWSC\n5\n\n";
    for (int item = 0; item < 8; ++item) {
        text += "AddNullObject 1000000" + std::to_string(item) + " n" + std::to_string(item) + "\nObjectMotion\nNumChannels 9\n";
        for (int c = 0; c < 9; ++c) {
            const int keys = item == 3 && c == 4 ? 40000 : 600;  // about 1.5 MB, and 20 KB
            text += "Channel " + std::to_string(c) + "\n{ Envelope\n  " + std::to_string(keys) + "\n";
            for (int k = 0; k < keys; ++k)
                text += "  Key " + std::to_string(item + c * 0.1 + k * 1e-4) + " " + std::to_string(k) + " 0 0 0 0 0 0 0\n";
            text += "  Behaviors 1 1\n}\n";
        }
    }
    Loaded l = load_text(text);
    for (ItemIdValue id : l.scene.all_items())
        for (int c = 0; c < kMotionChannelCount; ++c)
            for (const auto &key : l.scene.find(id)->channel(static_cast<MotionChannel>(c)).envelope.keys())
                key->value = key->value * 0.5 + 0.125;
    const std::string path = ::testing::TempDir() + "lws_large_write_test.lws";
    std::string error;
    ASSERT_TRUE(write_lws_file(l.doc, l.scene, path, true, &error)) << error;
    EXPECT_EQ(read_all(path), render(l));
    Loaded again;
    ASSERT_TRUE(read_lws_file(path, &again.scene, &again.doc, &error)) << error;
    std::remove(path.c_str());
    for (ItemIdValue id : l.scene.all_items())
        for (int c = 0; c < kMotionChannelCount; ++c) {
            const Envelope &now = l.scene.find(id)->channel(static_cast<MotionChannel>(c)).envelope;
            const Envelope &read = again.scene.find(id)->channel(static_cast<MotionChannel>(c)).envelope;
            ASSERT_EQ(read.key_count(), now.key_count());
            for (size_t k = 0; k < now.key_count(); ++k) ASSERT_EQ(read.keys()[k]->value, now.keys()[k]->value);
        }
}

TEST(LwsWrite, SavingNeverOverwritesUnlessAskedAndLeavesNoPartialFile) {
    Loaded l = load_text(kShapes);
    const std::string folder = ::testing::TempDir();
    const std::string path = folder + "lws_write_test.lws";
    std::remove(path.c_str());
    std::string error;
    ASSERT_TRUE(write_lws_file(l.doc, l.scene, path, false, &error)) << error;
    EXPECT_EQ(read_all(path), kShapes);
    {
        std::ofstream(path, std::ios::binary) << "precious";
    }
    EXPECT_FALSE(write_lws_file(l.doc, l.scene, path, false, &error));
    EXPECT_NE(error.find("exists"), std::string::npos);
    EXPECT_EQ(read_all(path), "precious");
    // A change the file cannot take fails before anything is written.
    l.scene.add_object("new");
    EXPECT_FALSE(write_lws_file(l.doc, l.scene, path, true, &error));
    EXPECT_NE(error.find("'new' was added after loading"), std::string::npos) << error;
    EXPECT_EQ(read_all(path), "precious");
    l.scene.remove_item(l.scene.find_by_name("new")->id);
    ASSERT_TRUE(write_lws_file(l.doc, l.scene, path, true, &error)) << error;
    EXPECT_EQ(read_all(path), kShapes);
    EXPECT_FALSE(write_lws_file(l.doc, l.scene, folder + "no/such/folder/x.lws", true, &error));
    std::remove(path.c_str());
    for (const std::string &left : files_in(folder, "")) EXPECT_EQ(left.find("lws_write_test"), std::string::npos);
}

#ifndef _WIN32
TEST(LwsWrite, ReplacingKeepsPermissionsWritesThroughLinksAndNeverReplacesWithoutBeingAsked) {
    Loaded l = load_text(kShapes);
    const std::string folder = ::testing::TempDir() + "lws_replace_test/";
    ::mkdir(folder.c_str(), 0700);
    const std::string path = folder + "private.lws", link = folder + "link.lws";
    std::string error;
    {
        std::ofstream(path, std::ios::binary) << "old";
    }
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(write_lws_file(l.doc, l.scene, path, true, &error)) << error;
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(read_all(path), kShapes);

    // A link (relative, as most are) stays a link; the file it names is replaced.
    ASSERT_EQ(::symlink("private.lws", link.c_str()), 0);
    l.scene.find(0x10000004u)->channel(kPositionY).envelope.create_key(0, 5);
    EXPECT_FALSE(write_lws_file(l.doc, l.scene, link, false, &error));
    EXPECT_NE(error.find("exists"), std::string::npos);
    ASSERT_TRUE(write_lws_file(l.doc, l.scene, link, true, &error)) << error;
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(read_all(path).find("Channel 1\n{ Envelope\n  1\n  Key 5 0 0"), std::string::npos);

    // Without overwriting, a file that is there when the new one is put in
    // place wins, however late it came.
    const std::string late = folder + "late.lws";
    ASSERT_TRUE(write_file_safely(late, "first", false, &error)) << error;
    EXPECT_FALSE(write_file_safely(late, "second", false, &error));
    EXPECT_NE(error.find("late.lws: the file exists"), std::string::npos) << error;
    EXPECT_EQ(read_all(late), "first");
    EXPECT_FALSE(write_file_safely(folder, "x", true, &error));  // a folder is never replaced

    std::remove(late.c_str());
    std::remove(link.c_str());
    std::remove(path.c_str());
    EXPECT_TRUE(files_in(folder, ".tmp").empty());
    EXPECT_EQ(::rmdir(folder.c_str()), 0) << "files left behind";
}
#endif

}  // namespace
}  // namespace headless
