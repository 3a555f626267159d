// The service records the headless host hands out, each over Host::current().
#pragma once

#include "interface/host_api.h"

namespace headless {

const ItemInfo &item_info_service();
const MessageFuncs &message_service();
const ChannelInfo &channel_info_service();
const EnvelopeFuncs &envelope_service();

}  // namespace headless
