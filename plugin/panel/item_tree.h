// The model behind the link panel's tree control: one node per object, bone,
// light and camera of the scene, arranged by the host's parent relations, with
// labels formatted once. Built and freed within one activation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/support/host_context.h"

struct ItemNode {
    ItemNode *parent;    // null for a root node
    ItemNode *children;  // first node of this node's contiguous run of children; null when none
    uint64_t item;       // the item id exactly as the host gave it
    char *label;         // in the label buffer, NUL-ended
    int32_t child_count;
    int32_t state;       // open/closed word of the host's tree control: 0 closed, 1 open
};

struct ItemTree {
    uint64_t chosen_item;  // the panel's result; 0 for no item
    ItemNode *nodes;       // item_count + 1 nodes; the last one always stays zero
    char *labels;
    char *label_end;       // next free label byte while the tree is built
    int32_t item_count;
    int32_t root_count;
    uint32_t build;
    size_t label_size;     // bytes in the label buffer
};

// Icon code of an item kind (bits 28 to 31 of the id); 0 for a kind the host
// does not define.
uint32_t item_icon_code(uint64_t item);
// Colour code of the interface's item colour value.
uint32_t item_colour_code(uint32_t colour);

// The node after `node` in a depth-first walk of the subtree under `top`
// (`top` first), or null at its end. Walks by the parent links, without
// recursion, so a hierarchy of any depth fits the stack.
ItemNode *next_in_subtree(const ItemNode *top, ItemNode *node);

// Counts the items, allocates the node array and the label buffer and fills
// both. Returns false when an allocation failed; `tree` must then still be
// freed with free_item_tree. `tree->build` is left as the caller set it.
bool build_item_tree(const HostContext *context, ItemTree *tree);
// Frees the node array and then the label buffer; safe on a tree that was
// never built or whose allocation failed.
void free_item_tree(ItemTree *tree);

// The tree control's three callbacks. `data` is the tree control's user data,
// the panel's LinkPanel; a null node is the invisible top of the tree.
int tree_count(void *data, void *node);
void *tree_child(void *data, void *node, int index);
char *tree_info(void *data, void *node, int *node_flags);
