#include "plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace headless {
namespace {

// Bounds for walking tables in a binary that may not end them.
constexpr size_t kMaxServers = 4096;
constexpr size_t kMaxTags = 256;
constexpr size_t kMaxText = 4096;

// Says why the file at `path` cannot be a module this host loads, in better
// words than the system loader's "invalid ELF header"; empty when it may be
// one. `no_module` tells a file that is no module at all (a folder, a scene,
// a script) from one that is missing or built for the other system.
std::string why_not_loadable(const std::string &path, bool *no_module) {
    *no_module = false;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return "cannot load " + path + ": " + std::strerror(errno);
    *no_module = true;
    if ((info.st_mode & S_IFMT) == S_IFDIR) return path + " is a folder, not a plug-in module";
    // Reading a pipe or a device could wait for ever.
    if ((info.st_mode & S_IFMT) != S_IFREG) return path + " is not a regular file, not a plug-in module";
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *no_module = false;
        return "cannot load " + path + ": " + std::strerror(errno);
    }
    unsigned char head[512];
    const size_t size = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    const bool elf = size >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
    const bool windows_module = size >= 2 && head[0] == 'M' && head[1] == 'Z';
#if defined(_WIN32)
    const bool native = windows_module, foreign = elf;
    const char *const kForeign = " is a Linux module; this lwheadless loads the Windows build of the plug-in";
#else
    const bool native = elf, foreign = windows_module;
    const char *const kForeign = " is a Windows module; this lwheadless loads the Linux build of the plug-in";
#endif
    *no_module = !native && !foreign;
    if (native) return "";
    if (foreign) return path + kForeign;
    if (size >= 4 && std::memcmp(head, "LWSC", 4) == 0) return path + " is a scene file, not a plug-in module";
    const bool text = size > 0 && std::memchr(head, 0, size) == nullptr;
    return path + " is not a plug-in module" + (text ? " (it is text: a script?)" : "");
}

void *open_binary(const std::string &path, std::string *error) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) *error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void *>(module);
#else
    // A bare file name means the file here, not a search of the library path.
    const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
    void *handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        *error = "cannot load " + path + ": " + (why ? why : "unknown error");
    }
    return handle;
#endif
}

void *find_symbol(void *handle, const char *name) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void close_binary(void *handle) {
    if (!handle) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

std::string hex32(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", value);
    return buffer;
}

// A text from the module's table, bounded so a missing terminator cannot run on.
bool read_text(const char *text, std::string *out) {
    if (!text) return false;
    size_t n = 0;
    while (n < kMaxText && text[n]) ++n;
    if (n == kMaxText) return false;
    out->assign(text, n);
    return true;
}

}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::open(const std::string &path, std::string *error,
                                                   bool *not_a_module) {
    std::string scratch;
    if (!error) error = &scratch;
    bool unused = false;
    if (!not_a_module) not_a_module = &unused;
    *error = why_not_loadable(path, not_a_module);
    if (!error->empty()) return nullptr;
    std::unique_ptr<PluginLibrary> library(new PluginLibrary());
    library->path_ = path;
    library->handle_ = open_binary(path, error);
    if (!library->handle_) return nullptr;

    const auto *descriptor = static_cast<const ModuleDescriptor *>(find_symbol(library->handle_, "_mod_descrip"));
    if (!descriptor) {
        *error = path + " is not a plug-in module: it exports no _mod_descrip";
        return nullptr;
    }
    if (descriptor->sync_word != host_abi::kSyncWord) {
        *error = path + ": wrong sync word " + hex32(descriptor->sync_word) + " (expected " +
                 hex32(host_abi::kSyncWord) + ")";
        return nullptr;
    }
    if (descriptor->descriptor_version != host_abi::kDescriptorVersion) {
        *error = path + ": unsupported descriptor version " + std::to_string(descriptor->descriptor_version);
        return nullptr;
    }
    if (descriptor->machine_word != host_abi::kMachineWord) {
        *error = path + ": module built for machine " + hex32(descriptor->machine_word) + ", not " +
                 hex32(host_abi::kMachineWord);
        return nullptr;
    }
    if (!descriptor->startup || !descriptor->servers) {
        *error = path + ": descriptor without startup routine or server table";
        return nullptr;
    }
    library->descriptor_ = descriptor;
    library->startup_value_ = descriptor->startup();
    if (!library->startup_value_) {
        *error = path + ": the module's startup failed";
        return nullptr;
    }
    library->started_ = true;

    for (size_t i = 0;; ++i) {
        if (i == kMaxServers) {
            *error = path + ": server table has no end record";
            return nullptr;
        }
        const ServerRecord &record = descriptor->servers[i];
        if (!record.class_name) break;
        ServerInfo info;
        info.record = &record;
        if (!read_text(record.class_name, &info.class_name) || !read_text(record.server_name, &info.name) ||
            !record.activate) {
            *error = path + ": server record " + std::to_string(i) + " lacks a name or an activation routine";
            return nullptr;
        }
        for (size_t t = 0; record.tags; ++t) {
            if (t == kMaxTags) {
                *error = path + ": tag list of " + info.name + " has no end record";
                return nullptr;
            }
            const ServerTag &tag = record.tags[t];
            if (!tag.text) break;
            std::string text;
            if (!read_text(tag.text, &text)) {
                *error = path + ": unreadable tag text in " + info.name;
                return nullptr;
            }
            const uint32_t kind = tag.tag & 0xFFFF0000u;
            if (kind == host_abi::kTagUserName && info.user_name.empty()) info.user_name = text;
            if (kind == host_abi::kTagCommandGroup && info.command_group.empty()) info.command_group = text;
            info.tags.emplace_back(tag.tag, std::move(text));
        }
        library->servers_.push_back(std::move(info));
    }
    return library;
}

PluginLibrary::~PluginLibrary() {
    if (started_ && descriptor_->shutdown) descriptor_->shutdown(startup_value_);
    close_binary(handle_);
}

const ServerInfo *PluginLibrary::find(const std::string &server_name) const {
    for (const ServerInfo &server : servers_)
        if (server.name == server_name) return &server;
    return nullptr;
}

}  // namespace headless
