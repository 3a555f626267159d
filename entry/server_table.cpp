#include "server_table.h"

#include "../links/link_command.h"
#include "../panel/link_panel.h"
#include "../module/link_flags.h"
#include "memorize.h"

namespace {

template <uint32_t LinkFlags>
int link_command_activate(int32_t, GlobalLookupFn global, void *local, void *) {
    return run_link_command(global, static_cast<const LayoutGeneric *>(local), LinkFlags);
}

constexpr const char kClass[] = "LayoutGeneric";
constexpr const char kGroup[] = "KRtools";

#define USER_NAME_TAGS(ident, user_name) \
    const ServerTag ident[] = {{user_name, host_abi::kTagUserName}, {kGroup, host_abi::kTagCommandGroup}, {nullptr, 0}}

// The panel is listed only by its server name.
const ServerTag kTandrelTags[] = {{kGroup, host_abi::kTagCommandGroup}, {nullptr, 0}};
USER_NAME_TAGS(kMemItemTags, "Tandrel_MemItem");
USER_NAME_TAGS(kSetTargetTags, "setTargetItem");
USER_NAME_TAGS(kSetParentTags, "setParentItem");
USER_NAME_TAGS(kSetGoalTags, "setGoalItem");
USER_NAME_TAGS(kSetPoleTags, "setPoleItem");
USER_NAME_TAGS(kSetPosTags, "setPosItem");
USER_NAME_TAGS(kSetRotTags, "setRotItem");
USER_NAME_TAGS(kSetSclTags, "setSclItem");
USER_NAME_TAGS(kSetFollowTags, "setFollowItem");
USER_NAME_TAGS(kUnTargetTags, "unTargetItem");
USER_NAME_TAGS(kUnParentTags, "unParentItem");
USER_NAME_TAGS(kUnGoalTags, "unGoalItem");
USER_NAME_TAGS(kUnPoleTags, "unPoleItem");
USER_NAME_TAGS(kUnPosTags, "unPosItem");
USER_NAME_TAGS(kUnRotTags, "unRotItem");
USER_NAME_TAGS(kUnSclTags, "unSclItem");
USER_NAME_TAGS(kUnFollowTags, "unFollowItem");
USER_NAME_TAGS(kSetParentWPosTags, "setParent_wPos");
USER_NAME_TAGS(kUnParentWPosTags, "unParent_wPos");

#undef USER_NAME_TAGS

}  // namespace

const ServerRecord kServerTable[kServerCount + 1] = {
    {kClass, "KR_Tandrel", tandrel_activate, kTandrelTags},
    {kClass, "KR_memItem", memorize_activate, kMemItemTags},
    {kClass, "KR_setTarget", link_command_activate<LINK_TARGET>, kSetTargetTags},
    {kClass, "KR_setParent", link_command_activate<LINK_PARENT>, kSetParentTags},
    {kClass, "KR_setGoal", link_command_activate<LINK_GOAL>, kSetGoalTags},
    {kClass, "KR_setPole", link_command_activate<LINK_POLE>, kSetPoleTags},
    {kClass, "KR_setPosItem", link_command_activate<LINK_POSITION>, kSetPosTags},
    {kClass, "KR_setRotItem", link_command_activate<LINK_ROTATION>, kSetRotTags},
    {kClass, "KR_setSclItem", link_command_activate<LINK_SCALE>, kSetSclTags},
    {kClass, "KR_setFollowItem", link_command_activate<LINK_FOLLOW>, kSetFollowTags},
    {kClass, "KR_unTarget", link_command_activate<LINK_CLEAR | LINK_TARGET>, kUnTargetTags},
    {kClass, "KR_unParent", link_command_activate<LINK_CLEAR | LINK_PARENT>, kUnParentTags},
    {kClass, "KR_unGoal", link_command_activate<LINK_CLEAR | LINK_GOAL>, kUnGoalTags},
    {kClass, "KR_unPole", link_command_activate<LINK_CLEAR | LINK_POLE>, kUnPoleTags},
    {kClass, "KR_unPosItem", link_command_activate<LINK_CLEAR | LINK_POSITION>, kUnPosTags},
    {kClass, "KR_unRotItem", link_command_activate<LINK_CLEAR | LINK_ROTATION>, kUnRotTags},
    {kClass, "KR_unSclItem", link_command_activate<LINK_CLEAR | LINK_SCALE>, kUnSclTags},
    {kClass, "KR_unFollowItem", link_command_activate<LINK_CLEAR | LINK_FOLLOW>, kUnFollowTags},
    {kClass, "KR_setParent_wPos", link_command_activate<LINK_WORLD_POSITION | LINK_PARENT>, kSetParentWPosTags},
    {kClass, "KR_unParent_wPos", link_command_activate<LINK_CLEAR | LINK_WORLD_POSITION | LINK_PARENT>,
     kUnParentWPosTags},
    {nullptr, nullptr, nullptr, nullptr},
};
