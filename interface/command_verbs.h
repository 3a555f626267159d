// The verbs of the command texts the module sends and the host applies, each
// followed by its argument: an item id in eight hex digits, a mode number, or
// nothing (a toggle).
#pragma once

namespace host_verbs {

// Links of the selected items to the item named.
constexpr char kParentItem[] = "ParentItem";
constexpr char kTargetItem[] = "TargetItem";
constexpr char kGoalItem[] = "GoalItem";
constexpr char kPoleItem[] = "PoleItem";
constexpr char kPositionItem[] = "PositionItem";
constexpr char kRotationItem[] = "RotationItem";
constexpr char kScaleItem[] = "ScaleItem";
// Heading, pitch and bank controllers of the selected items, by mode number.
constexpr char kHController[] = "HController";
constexpr char kPController[] = "PController";
constexpr char kBController[] = "BController";
// The modes the module sets them to: the channel's own keys; heading and
// pitch aimed at the target item; bank taken from the IK pole.
constexpr int kControllerKeys = 0;
constexpr int kControllerTarget = 1;
constexpr int kControllerPole = 5;
// Toggles.
constexpr char kFullTimeIK[] = "FullTimeIK";
constexpr char kParentInPlace[] = "ParentInPlace";
// The selection: the item named alone, or added to it.
constexpr char kSelectItem[] = "SelectItem";
constexpr char kAddToSelection[] = "AddToSelection";

}  // namespace host_verbs
