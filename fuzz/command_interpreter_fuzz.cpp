// Random command texts, one a line, against a small scene with objects,
// bones, a light and a camera. A line "-ID" removes that item first, so the
// commands also meet a hierarchy with holes. No text may crash the host or
// leave its scene inconsistent, and a refused text changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "host/core/command_interpreter.h"
#include "host/core/host.h"

namespace {

void build_scene(headless::Scene &scene) {
    const headless::ItemIdValue body = scene.add_object("Body");
    const headless::ItemIdValue rig = scene.add_object("Rig");
    scene.add_object("Target");
    const headless::ItemIdValue hip = scene.add_bone(rig, "Hip");
    const headless::ItemIdValue knee = scene.add_bone(rig, "Knee");
    scene.add_bone(rig, "Foot");
    scene.set_parent(knee, hip);
    scene.add_bone(body, "Spine");
    scene.add_light("Key");
    scene.add_camera("Camera");
    scene.selection = {body, hip};
}

std::string snapshot(const headless::Scene &scene) {
    std::string out;
    for (headless::ItemIdValue id : scene.all_items()) {
        const headless::Item &item = *scene.find(id);
        for (uint32_t value : {id, item.parent, item.target, item.goal, item.pole, item.position_item,
                               item.rotation_item, item.scale_item, item.flags})
            out += std::to_string(value) + ",";
        for (int mode : item.controllers) out += std::to_string(mode) + ",";
        for (headless::ItemIdValue child : item.children) out += std::to_string(child) + ";";
        out += "\n";
    }
    for (headless::ItemIdValue selected : scene.selection) out += std::to_string(selected) + " ";
    return out + std::to_string(scene.general_flags);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    headless::Host host;
    build_scene(host.scene());
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const std::string line = input.substr(start, end - start);
        start = end + 1;

        if (!line.empty() && line[0] == '-') {
            uint32_t id = static_cast<uint32_t>(std::strtoul(line.c_str() + 1, nullptr, 16));
            host.scene().remove_item(id);
            fuzz::require_consistent(host.scene(), "a removal");
            continue;
        }
        const std::string before = snapshot(host.scene());
        const std::string refused = headless::apply_command_text(host.scene(), line);
        fuzz::require_consistent(host.scene(), "a command text");
        // A parent change refused for one selected item still applies to the
        // others; every other refusal must leave the scene as it was.
        if (!refused.empty() && line.find("ParentItem") == std::string::npos)
            fuzz::require(snapshot(host.scene()) == before, "refused text '" + line + "' changed the scene");
    }
    return 0;
}
