// What a panel is told of the keyboard and the mouse, and the headless host's
// desktop size, read the same way by the plug-in's panels and the host's
// panel toolkit.
#pragma once

namespace host_abi {

// The qualifier word a panel reports (kPanelQualifiers) while a tree click is
// handled: Ctrl is CTRL|CONSTRAIN, Shift is SHIFT|ADJUST, Alt is ALT. Keys held
// together are ORed (Ctrl+Shift gives 27).
constexpr int kQualifierCtrl = 9;
constexpr int kQualifierShift = 18;
constexpr int kQualifierAlt = 4;

// The host's own key codes for Return, keypad Enter, and the digits of the top
// row and of the keypad (zero; the others follow it). A panel may also be given
// Return as the character code 13 and digits as characters.
constexpr unsigned kKeyReturn = 0x1022;
constexpr unsigned kKeyDigitZero = 0x1030;
constexpr unsigned kKeyKeypadZero = 0x1040;
constexpr unsigned kKeyKeypadEnter = 0x1057;
constexpr unsigned kKeyReturnCharacter = 13;

// Only the headless host publishes this service; Layout does not, and a
// plug-in asks its window system there. The record lives as long as the host.
constexpr char kServiceHeadlessDesktop[] = "Headless Desktop";
struct HeadlessDesktop {
    int width;   // of the desktop's client area, in pixels
    int height;
};

}  // namespace host_abi
