// The keyed re-parent through the loaded plug-in: one item keyed on every
// frame, moved back and forth between the ends of two four-deep chains.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>

#include "host/host.h"
#include "host/plugin_library.h"
#include "host/world_transform.h"

namespace {

using namespace headless;

constexpr int kChainDepth = 4;

struct KeyedScene {
    Host host;
    std::unique_ptr<PluginLibrary> plugin;
    ItemIdValue chain_ends[2] = {0, 0};
    ItemIdValue mover = 0;
};

// Two chains of rotated, scaled, moving parents, and the item under the first.
std::unique_ptr<KeyedScene> make_scene(int frames) {
    auto scene = std::make_unique<KeyedScene>();
    std::string error;
    scene->plugin = PluginLibrary::open(KR_PLUGIN_PATH, &error);
    if (!scene->plugin) return nullptr;
    Scene &s = scene->host.scene();
    s.frame_end = frames - 1;
    for (int chain = 0; chain < 2; ++chain) {
        ItemIdValue above = 0;
        for (int depth = 0; depth < kChainDepth; ++depth) {
            const ItemIdValue id = s.add_object("Chain" + std::to_string(chain) + "." + std::to_string(depth));
            Item &item = *s.find(id);
            item.set_static(kHeading, {0.3 * (depth + 1), 0.1 * chain, -0.2});
            item.set_static(kScaleX, {1.1, 1.1, 1.1});
            item.pivot = {0.1, 0.2, 0.3};
            item.channel(kPositionX).envelope.create_key(0.0, depth);
            item.channel(kPositionX).envelope.create_key((frames - 1) / s.frames_per_second, depth + 5.0);
            if (above) s.set_parent(id, above);
            above = id;
        }
        scene->chain_ends[chain] = above;
    }
    scene->mover = s.add_object("Mover");
    Item &mover = *s.find(scene->mover);
    for (int c = kPositionX; c <= kBank; ++c)
        for (int f = 0; f < frames; ++f)
            mover.channel(MotionChannel(c)).envelope.create_key(f / s.frames_per_second, std::sin(0.01 * f + c));
    s.set_parent(scene->mover, scene->chain_ends[0]);
    return scene;
}

void memorize(KeyedScene &scene, ItemIdValue id) {
    scene.host.scene().selection.assign(1, id);
    scene.host.activate(*scene.plugin->find("KR_memItem")->record);
}

void BM_KeyedReparent(benchmark::State &state) {
    const int frames = static_cast<int>(state.range(0));
    auto scene = make_scene(frames);
    if (!scene) {
        state.SkipWithError("the plug-in did not load");
        return;
    }
    const ServerRecord &reparent = *scene->plugin->find("KR_setParent_wPos")->record;
    int next = 1;
    for (auto _ : state) {
        state.PauseTiming();
        memorize(*scene, scene->chain_ends[next]);
        scene->host.scene().selection.assign(1, scene->mover);
        scene->host.commands.clear();
        scene->host.messages.clear();
        state.ResumeTiming();
        scene->host.activate(reparent);
        next = 1 - next;
    }
    if (scene->host.scene().find(scene->mover)->parent != scene->chain_ends[1 - next])
        state.SkipWithError("the item was not re-parented");
    state.counters["frames"] = frames;
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_KeyedReparent)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The host's own world evaluation of the same item at every frame: what the
// plug-in's chain evaluation is held to, for scale.
void BM_HostWorldEvaluation(benchmark::State &state) {
    const int frames = static_cast<int>(state.range(0));
    auto scene = make_scene(frames);
    if (!scene) {
        state.SkipWithError("the plug-in did not load");
        return;
    }
    const Scene &s = scene->host.scene();
    for (auto _ : state)
        for (int f = 0; f < frames; ++f) {
            benchmark::DoNotOptimize(world_position(s, scene->mover, f / s.frames_per_second));
            benchmark::DoNotOptimize(world_axes(s, scene->mover, f / s.frames_per_second));
        }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_HostWorldEvaluation)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
