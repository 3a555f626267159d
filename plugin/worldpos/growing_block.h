// Blocks of the process heap that grow by doubling, taken without
// exceptions: the plug-in's work lists use them.
#pragma once

#include <cstdint>
#include <cstdlib>

// Makes `*block` hold at least `needed` elements, doubling `*capacity` (64 at
// first). False when the memory is not there or `needed` is past what an
// int32 counts; the block is then as it was.
template <typename T>
bool grow_block(T **block, int32_t *capacity, int64_t needed) {
    if (needed <= *capacity) return true;
    if (needed > INT32_MAX) return false;
    int64_t wanted = *capacity > 0 ? *capacity : 64;
    while (wanted < needed) wanted *= 2;
    if (wanted > INT32_MAX) wanted = INT32_MAX;
    void *grown = std::realloc(*block, static_cast<size_t>(wanted) * sizeof(T));
    if (!grown) return false;
    *block = static_cast<T *>(grown);
    *capacity = static_cast<int32_t>(wanted);
    return true;
}

// Makes `*block` hold at least `needed` elements, growing it to exactly that
// many: for sizes known up front, where doubling would only leave a tail
// unused. False as grow_block.
template <typename T>
bool reserve_block(T **block, int32_t *capacity, int64_t needed) {
    if (needed <= *capacity) return true;
    if (needed > INT32_MAX) return false;
    void *grown = std::realloc(*block, static_cast<size_t>(needed) * sizeof(T));
    if (!grown) return false;
    *block = static_cast<T *>(grown);
    *capacity = static_cast<int32_t>(needed);
    return true;
}
