// The servers the module registers with the host, in table order: the name
// the host runs each by and the name it shows the user in the "KRtools"
// command group. The plug-in's server table, the host's checks (the script
// runner's report) and the tests all read them from here.
#pragma once

struct ServerNames {
    const char *name;
    const char *user_name;  // null: listed by its server name only
};

enum ServerIndex {
    kServerTandrel,
    kServerMemItem,
    kServerSetTarget,
    kServerSetParent,
    kServerSetGoal,
    kServerSetPole,
    kServerSetPosItem,
    kServerSetRotItem,
    kServerSetSclItem,
    kServerSetFollowItem,
    kServerUnTarget,
    kServerUnParent,
    kServerUnGoal,
    kServerUnPole,
    kServerUnPosItem,
    kServerUnRotItem,
    kServerUnSclItem,
    kServerUnFollowItem,
    kServerSetParentWPos,
    kServerUnParentWPos,
    kServerWPosTolerance,
    kServerCount
};

// The link commands: every server from kFirstLinkServer up to, not
// including, kLinkServerEnd. The panels and memorize are not among them.
constexpr int kFirstLinkServer = kServerSetTarget;
constexpr int kLinkServerEnd = kServerUnParentWPos + 1;

constexpr ServerNames kServerNames[kServerCount] = {
    {"KR_Tandrel", nullptr},
    {"KR_memItem", "Tandrel_MemItem"},
    {"KR_setTarget", "setTargetItem"},
    {"KR_setParent", "setParentItem"},
    {"KR_setGoal", "setGoalItem"},
    {"KR_setPole", "setPoleItem"},
    {"KR_setPosItem", "setPosItem"},
    {"KR_setRotItem", "setRotItem"},
    {"KR_setSclItem", "setSclItem"},
    {"KR_setFollowItem", "setFollowItem"},
    {"KR_unTarget", "unTargetItem"},
    {"KR_unParent", "unParentItem"},
    {"KR_unGoal", "unGoalItem"},
    {"KR_unPole", "unPoleItem"},
    {"KR_unPosItem", "unPosItem"},
    {"KR_unRotItem", "unRotItem"},
    {"KR_unSclItem", "unSclItem"},
    {"KR_unFollowItem", "unFollowItem"},
    {"KR_setParent_wPos", "setParent_wPos"},
    {"KR_unParent_wPos", "unParent_wPos"},
    {"KR_wPosTolerance", "wPosTolerance"},
};
