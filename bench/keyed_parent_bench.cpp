// The keyed re-parent through the loaded plug-in: items keyed on every frame,
// moved back and forth between the ends of two parent chains. The arguments
// are frames, chain depth and items, so the cost's growth in each shows.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "host/core/host.h"
#include "host/core/plugin_library.h"
#include "host/core/world_transform.h"

namespace {

using namespace headless;

struct KeyedScene {
    Host host;
    std::unique_ptr<PluginLibrary> plugin;
    ItemIdValue chain_ends[2] = {0, 0};
    std::vector<ItemIdValue> movers;
};

// Two chains of rotated, scaled, moving parents, and the items under the first.
std::unique_ptr<KeyedScene> make_scene(int frames, int depth_count, int item_count) {
    auto scene = std::make_unique<KeyedScene>();
    std::string error;
    scene->plugin = PluginLibrary::open(KR_PLUGIN_PATH, &error);
    if (!scene->plugin) return nullptr;
    Scene &s = scene->host.scene();
    s.frame_end = frames - 1;
    for (int chain = 0; chain < 2; ++chain) {
        ItemIdValue above = 0;
        for (int depth = 0; depth < depth_count; ++depth) {
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
    for (int i = 0; i < item_count; ++i) {
        const ItemIdValue id = s.add_object("Mover" + std::to_string(i));
        Item &mover = *s.find(id);
        for (int c = kPositionX; c <= kBank; ++c)
            for (int f = 0; f < frames; ++f)
                mover.channel(MotionChannel(c)).envelope.create_key(f / s.frames_per_second, std::sin(0.01 * f + c + i));
        s.set_parent(id, scene->chain_ends[0]);
        scene->movers.push_back(id);
    }
    return scene;
}

void memorize(KeyedScene &scene, ItemIdValue id) {
    scene.host.scene().selection.assign(1, id);
    scene.host.activate(*scene.plugin->find("KR_memItem")->record);
}

void BM_KeyedReparent(benchmark::State &state) {
    const int frames = static_cast<int>(state.range(0));
    const int items = static_cast<int>(state.range(2));
    auto scene = make_scene(frames, static_cast<int>(state.range(1)), items);
    if (!scene) {
        state.SkipWithError("the plug-in did not load");
        return;
    }
    const ServerRecord &reparent = *scene->plugin->find("KR_setParent_wPos")->record;
    int next = 1;
    for (auto _ : state) {
        state.PauseTiming();
        memorize(*scene, scene->chain_ends[next]);
        scene->host.scene().selection = scene->movers;
        scene->host.commands.clear();
        scene->host.messages.clear();
        state.ResumeTiming();
        scene->host.activate(reparent);
        next = 1 - next;
    }
    for (ItemIdValue mover : scene->movers)
        if (scene->host.scene().find(mover)->parent != scene->chain_ends[1 - next])
            state.SkipWithError("an item was not re-parented");
    state.SetItemsProcessed(state.iterations() * frames * items);
}
BENCHMARK(BM_KeyedReparent)
    ->ArgNames({"frames", "depth", "items"})
    ->Args({1000, 4, 1})
    ->Args({10000, 4, 1})
    ->Args({1000, 1, 1})
    ->Args({1000, 16, 1})
    ->Args({1000, 4, 10})
    ->Unit(benchmark::kMillisecond);

// The host's own world evaluation of the same item at every frame: what the
// plug-in's chain evaluation is held to, for scale.
void BM_HostWorldEvaluation(benchmark::State &state) {
    const int frames = static_cast<int>(state.range(0));
    auto scene = make_scene(frames, static_cast<int>(state.range(1)), 1);
    if (!scene) {
        state.SkipWithError("the plug-in did not load");
        return;
    }
    const ItemIdValue mover = scene->movers.front();
    const Scene &s = scene->host.scene();
    for (auto _ : state)
        for (int f = 0; f < frames; ++f) {
            benchmark::DoNotOptimize(world_position(s, mover, f / s.frames_per_second));
            benchmark::DoNotOptimize(world_axes(s, mover, f / s.frames_per_second));
        }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_HostWorldEvaluation)->ArgNames({"frames", "depth"})->Args({10000, 4})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
