#include "server_table.h"

#include "plugin/links/link_command.h"
#include "plugin/panel/link_panel.h"
#include "plugin/panel/tolerance_panel.h"
#include "plugin/support/link_flags.h"
#include "memorize.h"

namespace {

template <uint32_t LinkFlags>
int link_command_activate(int32_t version, GlobalLookupFn global, void *local, void *) {
    return run_link_command(global, static_cast<const LayoutGeneric *>(local), LinkFlags, version);
}

constexpr const char kClass[] = "LayoutGeneric";
constexpr const char kGroup[] = "KRtools";

#define USER_NAME_TAGS(ident, index)                                                                        \
    const ServerTag ident[] = {{kServerNames[index].user_name, host_abi::kTagUserName},                      \
                               {kGroup, host_abi::kTagCommandGroup},                                       \
                               {nullptr, 0}}

// The panel is listed only by its server name.
const ServerTag kTandrelTags[] = {{kGroup, host_abi::kTagCommandGroup}, {nullptr, 0}};
USER_NAME_TAGS(kMemItemTags, kServerMemItem);
USER_NAME_TAGS(kSetTargetTags, kServerSetTarget);
USER_NAME_TAGS(kSetParentTags, kServerSetParent);
USER_NAME_TAGS(kSetGoalTags, kServerSetGoal);
USER_NAME_TAGS(kSetPoleTags, kServerSetPole);
USER_NAME_TAGS(kSetPosTags, kServerSetPosItem);
USER_NAME_TAGS(kSetRotTags, kServerSetRotItem);
USER_NAME_TAGS(kSetSclTags, kServerSetSclItem);
USER_NAME_TAGS(kSetFollowTags, kServerSetFollowItem);
USER_NAME_TAGS(kUnTargetTags, kServerUnTarget);
USER_NAME_TAGS(kUnParentTags, kServerUnParent);
USER_NAME_TAGS(kUnGoalTags, kServerUnGoal);
USER_NAME_TAGS(kUnPoleTags, kServerUnPole);
USER_NAME_TAGS(kUnPosTags, kServerUnPosItem);
USER_NAME_TAGS(kUnRotTags, kServerUnRotItem);
USER_NAME_TAGS(kUnSclTags, kServerUnSclItem);
USER_NAME_TAGS(kUnFollowTags, kServerUnFollowItem);
USER_NAME_TAGS(kSetParentWPosTags, kServerSetParentWPos);
USER_NAME_TAGS(kUnParentWPosTags, kServerUnParentWPos);
USER_NAME_TAGS(kWPosToleranceTags, kServerWPosTolerance);

#undef USER_NAME_TAGS

}  // namespace

const ServerRecord kServerTable[kServerCount + 1] = {
    {kClass, kServerNames[kServerTandrel].name, tandrel_activate, kTandrelTags},
    {kClass, kServerNames[kServerMemItem].name, memorize_activate, kMemItemTags},
    {kClass, kServerNames[kServerSetTarget].name, link_command_activate<LINK_TARGET>, kSetTargetTags},
    {kClass, kServerNames[kServerSetParent].name, link_command_activate<LINK_PARENT>, kSetParentTags},
    {kClass, kServerNames[kServerSetGoal].name, link_command_activate<LINK_GOAL>, kSetGoalTags},
    {kClass, kServerNames[kServerSetPole].name, link_command_activate<LINK_POLE>, kSetPoleTags},
    {kClass, kServerNames[kServerSetPosItem].name, link_command_activate<LINK_POSITION>, kSetPosTags},
    {kClass, kServerNames[kServerSetRotItem].name, link_command_activate<LINK_ROTATION>, kSetRotTags},
    {kClass, kServerNames[kServerSetSclItem].name, link_command_activate<LINK_SCALE>, kSetSclTags},
    {kClass, kServerNames[kServerSetFollowItem].name, link_command_activate<LINK_FOLLOW>, kSetFollowTags},
    {kClass, kServerNames[kServerUnTarget].name, link_command_activate<LINK_CLEAR | LINK_TARGET>, kUnTargetTags},
    {kClass, kServerNames[kServerUnParent].name, link_command_activate<LINK_CLEAR | LINK_PARENT>, kUnParentTags},
    {kClass, kServerNames[kServerUnGoal].name, link_command_activate<LINK_CLEAR | LINK_GOAL>, kUnGoalTags},
    {kClass, kServerNames[kServerUnPole].name, link_command_activate<LINK_CLEAR | LINK_POLE>, kUnPoleTags},
    {kClass, kServerNames[kServerUnPosItem].name, link_command_activate<LINK_CLEAR | LINK_POSITION>, kUnPosTags},
    {kClass, kServerNames[kServerUnRotItem].name, link_command_activate<LINK_CLEAR | LINK_ROTATION>, kUnRotTags},
    {kClass, kServerNames[kServerUnSclItem].name, link_command_activate<LINK_CLEAR | LINK_SCALE>, kUnSclTags},
    {kClass, kServerNames[kServerUnFollowItem].name, link_command_activate<LINK_CLEAR | LINK_FOLLOW>, kUnFollowTags},
    {kClass, kServerNames[kServerSetParentWPos].name, link_command_activate<LINK_WORLD_POSITION | LINK_PARENT>, kSetParentWPosTags},
    {kClass, kServerNames[kServerUnParentWPos].name, link_command_activate<LINK_CLEAR | LINK_WORLD_POSITION | LINK_PARENT>,
     kUnParentWPosTags},
    {kClass, kServerNames[kServerWPosTolerance].name, tolerance_panel_activate, kWPosToleranceTags},
    {nullptr, nullptr, nullptr, nullptr},
};
