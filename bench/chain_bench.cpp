// The whole take un-parented through the loaded plug-in, as `lwheadless`
// does it: load a scene file, select every item, run KR_unParent_wPos with
// the world-motion report around it, save. Each step is timed apart; the
// best of the repeats is printed, with the process's peak memory.
//
//   chain_bench SCENE.lws [REPEATS]
//
// gen_chain_lws.py writes the scenes; chain_bench.sh runs the usual sizes.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "host/core/host.h"
#include "host/scene_file/lws_reader.h"
#include "host/scene_file/lws_writer.h"
#include "host/core/plugin_library.h"
#include "host/motion/world_motion_report.h"

namespace {

using namespace headless;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

enum Step { kLoad, kRecord, kCommand, kReport, kSave, kStepCount };
const char *const kStepNames[kStepCount] = {"load", "report (before)", "command", "report (after)", "save"};

// One pass; false with a message when any step fails.
bool run_once(const PluginLibrary &plugin, const std::string &path, const std::string &out_path,
              double times[kStepCount], size_t *keys) {
    auto host = std::make_unique<Host>();
    Scene &scene = host->scene();
    LwsDocument document;
    std::string error;

    Clock::time_point start = Clock::now();
    if (!read_lws_file(path, &scene, &document, &error)) {
        std::fprintf(stderr, "chain_bench: %s\n", error.c_str());
        return false;
    }
    times[kLoad] = seconds_since(start);
    *keys = 0;
    for (ItemIdValue id : scene.all_items())
        for (int c = 0; c < kMotionChannelCount; ++c) *keys += scene.find(id)->channel(MotionChannel(c)).envelope.key_count();

    scene.selection = scene.all_items();
    start = Clock::now();
    const WorldMotionBefore before = record_world_motion(scene, true);
    times[kRecord] = seconds_since(start);

    start = Clock::now();
    const int result = host->activate(*plugin.find("KR_unParent_wPos")->record);
    times[kCommand] = seconds_since(start);
    for (const CommandRecord &command : host->commands)
        if (!command.ok) {
            std::fprintf(stderr, "chain_bench: '%s' failed: %s\n", command.text.c_str(), command.error.c_str());
            return false;
        }
    for (ItemIdValue id : scene.all_items())
        if (scene.find(id)->parent != 0) {
            std::fprintf(stderr, "chain_bench: KR_unParent_wPos returned %d and left %s parented\n", result,
                         scene.find(id)->name.c_str());
            return false;
        }

    std::ostringstream report;
    start = Clock::now();
    print_world_motion(report, measure_world_motion(scene, before));
    times[kReport] = seconds_since(start);

    start = Clock::now();
    if (!write_lws_file(document, scene, out_path, true, &error)) {
        std::fprintf(stderr, "chain_bench: %s\n", error.c_str());
        return false;
    }
    times[kSave] = seconds_since(start);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: chain_bench SCENE.lws [REPEATS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string error;
    auto plugin = PluginLibrary::open(KR_PLUGIN_PATH, &error);
    if (!plugin || !plugin->find("KR_unParent_wPos")) {
        std::fprintf(stderr, "chain_bench: the plug-in did not load: %s\n", error.c_str());
        return 1;
    }
    const std::string out_path = path + ".bench-out.lws";

    double best[kStepCount];
    std::fill(best, best + kStepCount, 1e300);
    double best_total = 1e300;
    size_t keys = 0;
    for (int r = 0; r < repeats; ++r) {
        double times[kStepCount];
        if (!run_once(*plugin, path, out_path, times, &keys)) {
            std::remove(out_path.c_str());
            return 1;
        }
        double total = 0;
        for (int s = 0; s < kStepCount; ++s) {
            best[s] = std::min(best[s], times[s]);
            total += times[s];
        }
        best_total = std::min(best_total, total);
    }
    std::remove(out_path.c_str());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s: %zu keys, best of %d\n", path.c_str(), keys, repeats);
    for (int s = 0; s < kStepCount; ++s) std::printf("  %-16s %8.3f s\n", kStepNames[s], best[s]);
    std::printf("  %-16s %8.3f s\n", "command + report", best[kRecord] + best[kCommand] + best[kReport]);
    std::printf("  %-16s %8.3f s\n", "total", best_total);
    std::printf("  %-16s %8.1f MB\n", "peak memory", usage.ru_maxrss * 1024.0 / 1e6);  // kibibytes
    return 0;
}
