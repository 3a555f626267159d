#include "key_frame_table.h"

#include <cmath>
#include <cstdlib>

#include "interface/frame_rule.h"

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

#if defined(_WIN32)
void *platform_resize(void *, void *block, size_t bytes) { return _aligned_realloc(block, bytes, 16); }
void platform_release(void *, void *block) { _aligned_free(block); }
#else
// The old records are not needed, so there is nothing to copy.
void *platform_resize(void *, void *block, size_t bytes) {
    void *grown = nullptr;
    if (posix_memalign(&grown, 16, bytes) != 0) return nullptr;
    std::free(block);
    return grown;
}
void platform_release(void *, void *block) { std::free(block); }
#endif

const KeyFrameAllocator kPlatformAllocator = {platform_resize, platform_release, nullptr};

}  // namespace

const KeyFrameAllocator *platform_key_frame_allocator() { return &kPlatformAllocator; }

void key_frame_table_init(KeyFrameTable *table, const KeyFrameAllocator *allocator) {
    table->records = nullptr;
    table->capacity = 0;
    table->allocator = allocator;
}

bool key_frame_table_reserve(KeyFrameTable *table, int32_t count) {
    if (count <= 0) return false;
    if (count <= table->capacity) return true;
    void *block = table->allocator->resize(table->allocator->data, table->records,
                                           static_cast<size_t>(count) * sizeof(KeyFrameRecord));
    if (!block) return false;
    table->records = static_cast<KeyFrameRecord *>(block);
    table->capacity = count;
    return true;
}

void key_frame_table_free(KeyFrameTable *table) {
    if (table->records) table->allocator->release(table->allocator->data, table->records);
    table->records = nullptr;
    table->capacity = 0;
}

bool frame_number_far(double time, double frames_per_second, int32_t *frame) {
    if (!std::isfinite(time)) return false;
    const double whole = frame_of(time * frames_per_second);
    if (!(whole > -2147483649.0 && whole < 2147483648.0)) return false;
    *frame = static_cast<int32_t>(whole);
    return true;
}

bool key_on_whole_frame(double time, double frames_per_second, int32_t *frame) {
    return frame_number(time, frames_per_second, frame) && on_frame(time * frames_per_second, *frame);
}
