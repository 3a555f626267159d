// Loads a plug-in module as the host does: open the binary, find the exported
// descriptor, check its words, start it, and read its server table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "interface/host_api.h"

namespace headless {

struct ServerInfo {
    std::string class_name;
    std::string name;
    std::string user_name;      // empty when the server has none
    std::string command_group;  // empty when the server has none
    std::vector<std::pair<uint32_t, std::string>> tags;
    const ServerRecord *record = nullptr;
};

class PluginLibrary {
public:
    // Returns null and sets `error` when the file cannot be used as a plug-in.
    // `not_a_module` (when given) tells a file that is no module at all, such
    // as a scene or a script, from a module that fails to load.
    static std::unique_ptr<PluginLibrary> open(const std::string &path, std::string *error,
                                               bool *not_a_module = nullptr);
    ~PluginLibrary();  // shuts the module down and unloads it

    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    const std::string &path() const { return path_; }
    const ModuleDescriptor &descriptor() const { return *descriptor_; }
    const std::vector<ServerInfo> &servers() const { return servers_; }
    const ServerInfo *find(const std::string &server_name) const;

private:
    PluginLibrary() = default;

    std::string path_;
    void *handle_ = nullptr;
    const ModuleDescriptor *descriptor_ = nullptr;
    void *startup_value_ = nullptr;
    bool started_ = false;
    std::vector<ServerInfo> servers_;
};

}  // namespace headless
