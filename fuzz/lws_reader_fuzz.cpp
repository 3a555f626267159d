// Random scene-file texts. A text the reader refuses leaves the scene as it
// was; a text it accepts gives a consistent scene, which written back and
// read again gives the same items with the same hierarchy and links. With
// every key given a new value, as re-parenting does, the file written holds
// exactly those values and the same keys.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host/scene_file/lws_reader.h"
#include "host/scene_file/lws_writer.h"

namespace {

std::string hierarchy_of(const headless::Scene &scene) {
    std::string out;
    for (headless::ItemIdValue id : scene.all_items()) {
        const headless::Item &item = *scene.find(id);
        out += item.name + "|";
        for (uint32_t value : {id, item.parent, item.target, item.goal, item.pole, item.position_item,
                               item.rotation_item, item.scale_item})
            out += std::to_string(value) + ",";
        out += "\n";
    }
    return out;
}

// Every key's time and value, item by item and channel by channel.
std::vector<double> keys_of(const headless::Scene &scene) {
    std::vector<double> out;
    for (headless::ItemIdValue id : scene.all_items())
        for (int c = 0; c < headless::kMotionChannelCount; ++c)
            for (const auto &key : scene.find(id)->channel(headless::MotionChannel(c)).envelope.keys()) {
                out.push_back(key->time);
                out.push_back(key->value);
            }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    headless::Scene scene;
    headless::LwsDocument document;
    std::string error;
    if (!headless::read_lws_text(text, "fuzz.lws", &scene, &document, &error)) {
        fuzz::require(!error.empty(), "a refused file without a reason");
        fuzz::require(scene.all_items().empty(), "a refused file left items behind");
        return 0;
    }
    fuzz::require_consistent(scene, "reading");

    std::string written;
    if (!headless::render_lws(document, scene, &written, &error)) return 0;
    headless::Scene again;
    headless::LwsDocument again_document;
    fuzz::require(headless::read_lws_text(written, "again.lws", &again, &again_document, &error),
                  "the written file does not read back: " + error);
    fuzz::require_consistent(again, "reading the written file");
    fuzz::require(hierarchy_of(again) == hierarchy_of(scene), "the written file reads back as another scene");

    // The older layouts keep angles in degrees, which need not come back to the bit.
    if (document.version < 3) return 0;
    for (headless::ItemIdValue id : scene.all_items())
        for (int c = 0; c < headless::kMotionChannelCount; ++c)
            for (const auto &key : scene.find(id)->channel(headless::MotionChannel(c)).envelope.keys())
                key->value = key->value * 0.5 + 0.25;
    if (!headless::render_lws(document, scene, &written, &error)) return 0;
    headless::Scene changed;
    headless::LwsDocument changed_document;
    fuzz::require(headless::read_lws_text(written, "changed.lws", &changed, &changed_document, &error),
                  "the file with new key values does not read back: " + error);
    fuzz::require(keys_of(changed) == keys_of(scene), "the file with new key values reads back other keys");
    return 0;
}
