#include "item_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugin/support/item_id.h"
#include "plugin/support/item_list_walk.h"
#include "link_panel.h"

namespace {

constexpr const char kLabelFormat[] = "\x03(i:%u,%u) %s";

const char *name_of(const ItemInfo *items, HostId item) {
    const char *name = items->name(item);
    return name ? name : "";
}

uint32_t colour_code_of(const InterfaceInfo *interface_info, HostId item) {
    return item_colour_code(static_cast<uint32_t>(interface_info->item_color(item)));
}

// Bytes the label of `item` takes, its terminating zero included.
size_t label_length(const HostContext *context, HostId item) {
    const int length = std::snprintf(nullptr, 0, kLabelFormat, item_icon_code(item_id_value(item)),
                                     colour_code_of(context->interface_info, item), name_of(context->item_info, item));
    return length < 0 ? 1 : static_cast<size_t>(length) + 1;
}

// Writes one label at `tree->label_end` and advances it. A name that grew
// since the sizing pass is cut short at the end of the buffer, never past it.
char *write_label(const HostContext *context, ItemTree *tree, HostId item) {
    static char empty_label[1] = {0};
    const size_t room = tree->label_size - static_cast<size_t>(tree->label_end - tree->labels);
    if (room == 0) return empty_label;
    char *label = tree->label_end;
    const int length = std::snprintf(label, room, kLabelFormat, item_icon_code(item_id_value(item)),
                                     colour_code_of(context->interface_info, item), name_of(context->item_info, item));
    size_t used = length < 0 ? 0 : static_cast<size_t>(length);
    if (length < 0) label[0] = '\0';
    if (used >= room) used = room - 1;
    tree->label_end = label + used + 1;
    return label;
}

ItemNode *node_end(const ItemTree *tree) { return tree->nodes + tree->item_count; }

// Fills the children of `node` as one run at `*cursor`. The host's child
// lists should hold only counted items; one that holds more stops at the end
// of the node array.
void add_child_nodes(const HostContext *context, ItemTree *tree, ItemNode *node, ItemNode **cursor) {
    const ItemInfo *items = context->item_info;
    const HostId parent = item_id_handle(node->item);
    ItemNode *run = *cursor;
    int32_t count = 0;
    for (HostId child = items->first_child(parent); child && run + count < node_end(tree);
         child = items->next_child(parent, child)) {
        ItemNode *slot = run + count;
        slot->parent = node;
        slot->item = item_id_value(child);
        slot->label = write_label(context, tree, child);
        ++count;
    }
    node->child_count = count;
    node->children = count ? run : nullptr;
    *cursor = run + count;
}

}  // namespace

uint32_t item_icon_code(uint64_t item) {
    const uint32_t kind = item_id_kind(item);
    if (kind < host_abi::kIdKindObject || kind > host_abi::kIdKindBone) return 0;
    return (0xA1A3A2A0u >> ((kind - 1) * 8)) & 0xFFu;
}

uint32_t item_colour_code(uint32_t colour) {
    if (colour & 0x1000000u) return colour;
    if (colour <= 14) return colour + 152;
    return 0x1000000u;
}

bool build_item_tree(const HostContext *context, ItemTree *tree) {
    const ItemInfo *items = context->item_info;
    constexpr int kRootKinds[] = {host_abi::kKindIndexObject, host_abi::kKindIndexLight, host_abi::kKindIndexCamera};

    // Sizing pass: objects each followed by their bones, then lights, then cameras.
    int32_t item_count = 0;
    size_t label_size = 0;
    ItemListWalk walk;
    ItemListWalk bone_walk;
    for (int kind : kRootKinds) {
        for (HostId item = item_list_begin(&walk, items, kind, nullptr); item && item_count < kMaxListedItems;
             item = item_list_next(&walk, item)) {
            ++item_count;
            label_size += label_length(context, item);
            if (kind != host_abi::kKindIndexObject) continue;
            for (HostId bone = item_list_begin(&bone_walk, items, host_abi::kKindIndexBone, item);
                 bone && item_count < kMaxListedItems; bone = item_list_next(&bone_walk, bone)) {
                ++item_count;
                label_size += label_length(context, bone);
            }
        }
    }

    tree->item_count = item_count;
    tree->root_count = 0;
    tree->label_size = label_size;
    tree->labels = static_cast<char *>(std::calloc(label_size ? label_size : 1, 1));
    tree->nodes = static_cast<ItemNode *>(std::calloc(static_cast<size_t>(item_count) + 1, sizeof(ItemNode)));
    tree->label_end = tree->labels;
    if (!tree->labels || !tree->nodes) return false;

    for (int kind : kRootKinds) {
        for (HostId item = item_list_begin(&walk, items, kind, nullptr); item && tree->root_count < item_count;
             item = item_list_next(&walk, item)) {
            if (items->parent(item)) continue;
            ItemNode *node = tree->nodes + tree->root_count;
            node->item = item_id_value(item);
            node->label = write_label(context, tree, item);
            ++tree->root_count;
        }
    }

    // Each node's children are filled when the walk reaches it, so the walk
    // goes on into them: runs are laid out depth first.
    ItemNode *cursor = tree->nodes + tree->root_count;
    for (int32_t i = 0; i < tree->root_count; ++i) {
        ItemNode *root = tree->nodes + i;
        for (ItemNode *node = root; node; node = next_in_subtree(root, node))
            add_child_nodes(context, tree, node, &cursor);
    }
    return true;
}

ItemNode *next_in_subtree(const ItemNode *top, ItemNode *node) {
    if (node->child_count > 0) return node->children;
    while (node != top && node->parent) {
        const ItemNode *parent = node->parent;
        if (node + 1 < parent->children + parent->child_count) return node + 1;
        node = node->parent;
    }
    return nullptr;
}

void free_item_tree(ItemTree *tree) {
    std::free(tree->nodes);
    std::free(tree->labels);
    tree->nodes = nullptr;
    tree->labels = nullptr;
    tree->label_end = nullptr;
}

int tree_count(void *data, void *node) {
    if (node) return static_cast<ItemNode *>(node)->child_count;
    const LinkPanel *panel = static_cast<const LinkPanel *>(data);
    return panel && panel->model ? panel->model->root_count : 0;
}

void *tree_child(void *data, void *node, int index) {
    if (index < 0) return nullptr;
    if (node) {
        ItemNode *parent = static_cast<ItemNode *>(node);
        return index < parent->child_count ? parent->children + index : nullptr;
    }
    const LinkPanel *panel = static_cast<const LinkPanel *>(data);
    if (!panel || !panel->model || index >= panel->model->root_count) return nullptr;
    return panel->model->nodes + index;
}

char *tree_info(void *, void *node, int *node_flags) {
    if (!node) return nullptr;
    ItemNode *item_node = static_cast<ItemNode *>(node);
    if (node_flags) {
        if (*node_flags)
            item_node->state = *node_flags;
        else
            *node_flags = item_node->state;
    }
    return item_node->label;
}
