#include "host_context.h"

#include "interface/host_numbering.h"

// "Parent in Place is ON and this is not frame 0" / "Continue?", in UTF-8 for
// builds that read UTF-8 and in code page 932 for older ones. Written as bytes
// so the source encoding cannot change them.
const char kConfirmLine1Utf8[] =
    "Parent in Place\xE3\x81\x8C ON \xE3\x81\xA7\xE3\x80\x81"
    "Frame 0 \xE4\xBB\xA5\xE5\xA4\x96\xE3\x81\xA7\xE3\x81\x99";
const char kConfirmLine2Utf8[] = "\xE7\xB6\x9A\xE8\xA1\x8C\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99\xE3\x81\x8B";
const char kConfirmLine1ShiftJis[] =
    "Parent in Place\x82\xAA ON \x82\xC5\x81"
    "AFrame 0 \x88\xC8\x8A"
    "O\x82\xC5\x82\xB7";
const char kConfirmLine2ShiftJis[] =
    "\x91\xB1\x8D"
    "s\x82\xB5\x82\xDC\x82\xB7\x82\xA9?";

uint32_t build_from_product_info(uint32_t product_info) { return host_numbering::build_of_product_info(product_info); }

int32_t open_host_context(GlobalLookupFn global, HostContext *context) {
    using host_abi::kLookupTransient;
    context->envelopes = static_cast<const EnvelopeFuncs *>(global(host_abi::kServiceEnvelopes, kLookupTransient));
    context->channel_info = static_cast<const ChannelInfo *>(global(host_abi::kServiceChannelInfo, kLookupTransient));
    context->interface_info =
        static_cast<const InterfaceInfo *>(global(host_abi::kServiceInterfaceInfo, kLookupTransient));
    context->item_info = static_cast<const ItemInfo *>(global(host_abi::kServiceItemInfo, kLookupTransient));
    context->messages = static_cast<const MessageFuncs *>(global(host_abi::kServiceMessages, kLookupTransient));
    if (!context->envelopes || !context->channel_info || !context->interface_info || !context->item_info ||
        !context->messages)
        return host_abi::kResultBadGlobal;

    // The lookup's pointer is the value itself; only its low 32 bits count.
    const uintptr_t product = reinterpret_cast<uintptr_t>(global(host_abi::kServiceProductInfo, kLookupTransient));
    context->build = build_from_product_info(static_cast<uint32_t>(product));
    if (context->build >= kBuildUtf8Texts) {
        context->confirm_line1 = kConfirmLine1Utf8;
        context->confirm_line2 = kConfirmLine2Utf8;
    } else {
        context->confirm_line1 = kConfirmLine1ShiftJis;
        context->confirm_line2 = kConfirmLine2ShiftJis;
    }
    return host_abi::kResultOk;
}

const HostId *selected_items(const HostContext *context) {
    static const HostId kNothing[1] = {nullptr};
    const HostId *list = context->interface_info->selected_items;
    return list ? list : kNothing;
}
