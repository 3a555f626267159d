// Reading and writing a large scene: many bones keyed on every frame.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "host/scene_file/lws_reader.h"
#include "host/scene_file/lws_writer.h"

namespace {

// About 100 MB: 210 bones, 9 channels, 1000 keys each.
std::string generated_scene(int bones, int frames) {
    std::string text = "LWSC\n5\n\nFirstFrame 0\nLastFrame " + std::to_string(frames - 1) +
                       "\nFramesPerSecond 30\n\nLoadObjectLayer 1 10000000 Objects/Crowd.lwo\nObjectMotion\nNumChannels 9\n";
    auto channels = [&](int seed) {
        for (int c = 0; c < 9; ++c) {
            text += "Channel " + std::to_string(c) + "\n{ Envelope\n  " + std::to_string(frames) + "\n";
            for (int f = 0; f < frames; ++f)
                text += "  Key " + headless::format_lws_number(0.001 * (seed + c) * f, 5) + " " +
                        headless::format_lws_time(f / 30.0, 5) + " 0 0 0 0 0 0 0\n";
            text += "  Behaviors 1 1\n}\n";
        }
    };
    channels(0);
    for (int b = 0; b < bones; ++b) {
        char id[16];
        std::snprintf(id, sizeof id, "%08x", 0x40000000u | (static_cast<unsigned>(b) << 16));
        text += "\nAddBone " + std::string(id) + "\nBoneName b" + std::to_string(b) + "\nBoneMotion\nNumChannels 9\n";
        channels(b + 1);
        text += "\nParentItem " + std::string(b ? "40000000" : "10000000") + "\n";
    }
    return text;
}

const std::string &scene_text() {
    static const std::string text = generated_scene(210, 1000);
    return text;
}

void BM_ReadScene(benchmark::State &state) {
    for (auto _ : state) {
        headless::Scene scene;
        headless::LwsDocument doc;
        std::string error;
        if (!headless::read_lws_text(scene_text(), "bench.lws", &scene, &doc, &error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(scene);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * scene_text().size()));
}

void BM_WriteScene(benchmark::State &state) {
    headless::Scene scene;
    headless::LwsDocument doc;
    std::string error, out;
    headless::read_lws_text(scene_text(), "bench.lws", &scene, &doc, &error);
    // Every bone's heading gets a new key, so every bone has a block to regenerate.
    for (headless::ItemIdValue id : scene.all_items())
        scene.find(id)->channel(headless::kHeading).envelope.create_key(0.5 / 30.0, 0.25);
    for (auto _ : state) {
        if (!headless::render_lws(doc, scene, &out, &error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

// 100 000 items (60 000 nulls, 40 000 lights), each parented: saving must stay linear in the items.
const std::string &many_items_text() {
    static const std::string text = [] {
        std::string t = "LWSC\n5\n\nFramesPerSecond 30\n";
        char line[64];
        for (unsigned i = 0; i < 100000; ++i) {
            if (i < 60000)
                std::snprintf(line, sizeof line, "\nAddNullObject %08x N%u\n", 0x10000000u | i, i);
            else
                std::snprintf(line, sizeof line, "\nAddLight %08x\nLightName L%u\n", 0x20000000u | (i - 60000), i);
            t += line;
            if (i > 0) t += "ParentItem 10000000\n";
        }
        return t;
    }();
    return text;
}

void BM_WriteManyItems(benchmark::State &state) {
    headless::Scene scene;
    headless::LwsDocument doc;
    std::string error, out;
    if (!headless::read_lws_text(many_items_text(), "many.lws", &scene, &doc, &error)) state.SkipWithError(error.c_str());
    scene.set_parent(0x20000000u, 0);
    for (auto _ : state) {
        if (!headless::render_lws(doc, scene, &out, &error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(out);
    }
}

// A scene file on disk, named by KR_LWS_FILE (e.g. the 60-item chain from
// ../shared/bench/gen_chain_lws.py): reading it, and saving it with every
// position and rotation key changed, as un-parenting every item does. Run one
// at a time (--benchmark_filter) for the peak memory against the file's size.
#ifndef _WIN32
const char *chain_file(benchmark::State &state) {
    const char *path = std::getenv("KR_LWS_FILE");
    if (!path) state.SkipWithError("set KR_LWS_FILE to a scene file");
    return path;
}

void report_memory(benchmark::State &state, const char *path) {
    struct rusage usage;
    struct stat info;
    if (::getrusage(RUSAGE_SELF, &usage) == 0 && ::stat(path, &info) == 0 && info.st_size > 0)
        state.counters["peak_per_file_size"] = usage.ru_maxrss * 1024.0 / static_cast<double>(info.st_size);
}

void BM_ReadFile(benchmark::State &state) {
    const char *path = chain_file(state);
    if (!path) return;
    for (auto _ : state) {
        headless::Scene scene;
        headless::LwsDocument doc;
        std::string error;
        if (!headless::read_lws_file(path, &scene, &doc, &error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(scene);
    }
    report_memory(state, path);
}

void BM_SaveChangedFile(benchmark::State &state) {
    const char *path = chain_file(state);
    if (!path) return;
    headless::Scene scene;
    headless::LwsDocument doc;
    std::string error;
    if (!headless::read_lws_file(path, &scene, &doc, &error)) return state.SkipWithError(error.c_str());
    for (headless::ItemIdValue id : scene.all_items())
        for (int c = headless::kPositionX; c <= headless::kBank; ++c)
            for (const auto &key : scene.find(id)->channel(static_cast<headless::MotionChannel>(c)).envelope.keys())
                key->value = key->value * 0.5 + 0.125;
    const std::string saved = std::string(path) + ".bench-saved.lws";
    for (auto _ : state)
        if (!headless::write_lws_file(doc, scene, saved, true, &error)) state.SkipWithError(error.c_str());
    std::remove(saved.c_str());
    report_memory(state, path);
}

BENCHMARK(BM_ReadFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SaveChangedFile)->Unit(benchmark::kMillisecond)->Iterations(3);
#endif

BENCHMARK(BM_WriteManyItems)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReadScene)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WriteScene)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
