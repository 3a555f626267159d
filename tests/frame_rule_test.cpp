// The module and the host count a key time to the same frame: the plug-in's
// frame_number and the report's frame_holding on the same times.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/motion/world_motion_report.h"
#include "plugin/worldpos/key_frame_table.h"

namespace {

int64_t module_frame(double time, double fps) {
    int32_t frame = 0;
    EXPECT_TRUE(frame_number(time, fps, &frame)) << time << " s at " << fps << " fps";
    return frame;
}

TEST(FrameRule, BothSidesPutTheseTimesOnTheseFrames) {
    struct Case {
        double time, fps;
        int64_t frame;
    } const cases[] = {
        {0.0, 30, 0},
        {1.0333333, 30, 31},             // a hair below frame 31, as a scene file keeps it
        {1.0, 30, 30},
        {1.01, 30, 30},                  // between frames: the one below
        {-0.02, 30, 0},                  // negative times truncate toward zero
        {-0.05, 30, -1},
        {-1.0333333, 30, -31},           // a hair above frame -31
        {7200.0 - 0.2 / 30, 30, 215999},  // two hours in, a fifth of a frame short
        {86400.0 - 1e-6, 30, 2592000},   // a day in: the hair grows with the frame
        {100000.5 / 24, 24, 100000},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(module_frame(c.time, c.fps), c.frame) << c.time << " s at " << c.fps << " fps";
        EXPECT_EQ(headless::frame_holding(c.time, c.fps), c.frame) << c.time << " s at " << c.fps << " fps";
    }
}

TEST(FrameRule, BothSidesAgreeOnEveryTimeOfASweep) {
    for (double fps : {24.0, 25.0, 29.97, 30.0, 60.0})
        for (int64_t step = -20000; step <= 20000; ++step) {
            // Thirds and sevenths of a frame, whole frames read back with eight
            // digits, and times far along a long take.
            const double times[] = {static_cast<double>(step) / (3.0 * fps), static_cast<double>(step) / (7.0 * fps),
                                    static_cast<double>(static_cast<float>(step / fps)),
                                    static_cast<double>(step) * 97.0 + static_cast<double>(step % 11) / (11.0 * fps)};
            for (double time : times)
                ASSERT_EQ(module_frame(time, fps), headless::frame_holding(time, fps))
                    << time << " s at " << fps << " fps";
        }
}

}  // namespace
