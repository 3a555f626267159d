// The link flag word: which links a command sets or clears.
#pragma once

#include <cstdint>

constexpr uint32_t LINK_PARENT = 0x1;
constexpr uint32_t LINK_TARGET = 0x2;
constexpr uint32_t LINK_GOAL = 0x4;
constexpr uint32_t LINK_POLE = 0x8;
constexpr uint32_t LINK_POSITION = 0x10;
constexpr uint32_t LINK_ROTATION = 0x20;
constexpr uint32_t LINK_SCALE = 0x40;
constexpr uint32_t LINK_FOLLOW = 0x80;
constexpr uint32_t LINK_WORLD_POSITION = 0x100;
// The panel's "null ID" tick: apply the links with no item.
constexpr uint32_t LINK_NULL_ITEM = 0x800;
constexpr uint32_t LINK_CLEAR = 0x1000;
// Any clear bit: LINK_CLEAR and the three above it, which the entry treats
// alike. Such a command links to no item and needs no memorized one.
constexpr uint32_t LINK_ANY_CLEAR = 0xF000;
