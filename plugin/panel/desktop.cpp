#include "desktop.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
constexpr int kFallbackWidth = 1920;
constexpr int kFallbackHeight = 1080;
}  // namespace

#ifdef _WIN32

void desktop_client_size(GlobalLookupFn, int *width, int *height) {
    RECT client{};
    if (GetClientRect(GetDesktopWindow(), &client)) {
        *width = client.right;
        *height = client.bottom;
    } else {
        *width = kFallbackWidth;
        *height = kFallbackHeight;
    }
}

#else

void desktop_client_size(GlobalLookupFn global, int *width, int *height) {
    const auto *desktop = global ? static_cast<const host_abi::HeadlessDesktop *>(
                                       global(host_abi::kServiceHeadlessDesktop, host_abi::kLookupTransient))
                                 : nullptr;
    *width = desktop ? desktop->width : kFallbackWidth;
    *height = desktop ? desktop->height : kFallbackHeight;
}

#endif
