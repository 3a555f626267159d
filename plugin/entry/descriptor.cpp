// The module's one export: the record through which the host finds the servers.
#include "interface/host_api.h"
#include "server_table.h"

#if defined(_WIN32)
#define MODULE_EXPORT __declspec(dllexport)
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Nothing to prepare: the module's state is two zero-initialised values.
void *module_startup() { return reinterpret_cast<void *>(static_cast<uintptr_t>(4)); }

void module_shutdown(void *) {}

}  // namespace

extern "C" {
MODULE_EXPORT ModuleDescriptor _mod_descrip = {
    host_abi::kSyncWord, host_abi::kDescriptorVersion, host_abi::kMachineWord,
    module_startup,      module_shutdown,              kServerTable,
};
}
