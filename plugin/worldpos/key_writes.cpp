#include "key_writes.h"

#include <algorithm>
#include <cstdlib>

#include "growing_block.h"

namespace {

bool comes_before(const KeyWrite &a, const KeyWrite &b) {
    return a.time < b.time || (a.time == b.time && a.channel < b.channel);
}

// The usual case, every channel keyed at the same times: the runs are the
// channels in order, of one length, the first rising strictly and each other
// at its times. Then the order is each time's writes in channel order, which
// is what merging them would give. False, with nothing changed, otherwise.
bool interleave_channels_keyed_together(const KeyWrite *begin, const KeyWrite *end, int32_t runs, KeyWrite *scratch) {
    const int64_t length = (end - begin) / runs;
    if (length * runs != end - begin) return false;
    for (int64_t i = 1; i < length; ++i)
        if (!(begin[i - 1].time < begin[i].time)) return false;
    for (int32_t r = 0; r < runs; ++r) {
        const KeyWrite *run = begin + r * length;
        if (r > 0 && !(run[-1].channel < run[0].channel)) return false;
        for (int64_t i = 0; i < length; ++i)
            if (run[i].channel != run[0].channel || !(run[i].time == begin[i].time)) return false;
    }
    for (int32_t r = 0; r < runs; ++r)
        for (int64_t i = 0; i < length; ++i) scratch[i * runs + r] = begin[r * length + i];
    return true;
}

// The spare is as large as the writes: not kept through the solves and the
// hold that follow, when memory peaks.
void free_spare(KeyWriteList *list) {
    std::free(list->spare);
    list->spare = nullptr;
    list->spare_capacity = 0;
}

// Writes are added a channel at a time, each channel's keys in time order,
// then the created ones in time order: a few sorted runs, each merged in in
// linear time. Many runs (a host handing out keys out of order) are sorted.
void order_writes(KeyWriteList *list) {
    KeyWrite *const begin = list->writes;
    KeyWrite *const end = begin + list->count;
    int32_t runs = 1;
    for (const KeyWrite *write = begin + 1; write < end; ++write)
        if (comes_before(*write, write[-1])) ++runs;
    if (runs == 1) return;
    if (runs > 16 || !reserve_block(&list->spare, &list->spare_capacity, list->count)) {
        std::sort(begin, end, comes_before);
        return;
    }
    KeyWrite *const scratch = list->spare;
    if (interleave_channels_keyed_together(begin, end, runs, scratch)) {
        std::swap(list->writes, list->spare);
        std::swap(list->capacity, list->spare_capacity);
        free_spare(list);
        return;
    }
    KeyWrite *run_end = begin + 1;
    while (run_end != end && !comes_before(*run_end, run_end[-1])) ++run_end;
    while (run_end != end) {
        KeyWrite *next = run_end + 1;
        while (next != end && !comes_before(*next, next[-1])) ++next;
        KeyWrite *merged_end = std::merge(begin, run_end, run_end, next, scratch, comes_before);
        std::copy(scratch, merged_end, begin);
        run_end = next;
    }
    free_spare(list);
}

}  // namespace

void key_write_list_init(KeyWriteList *list) { *list = KeyWriteList{nullptr, 0, 0, nullptr, 0, 0, nullptr, 0}; }

void key_write_list_clear(KeyWriteList *list) {
    list->count = 0;
    list->solve_count = 0;
}

bool key_write_list_grow(KeyWriteList *list) {
    return list->count < INT32_MAX && grow_block(&list->writes, &list->capacity, list->count + 1);
}

bool key_write_list_reserve(KeyWriteList *list, int64_t more) {
    return reserve_block(&list->writes, &list->capacity, static_cast<int64_t>(list->count) + more);
}

bool key_write_list_group(KeyWriteList *list) {
    // Channel order within a time keeps the writes in the order the host
    // would see them from a frame-by-frame pass.
    if (list->count > 0) order_writes(list);
    KeyWrite *begin = list->writes;
    KeyWrite *end = begin + list->count;
    list->solve_count = 0;
    // The solves, one a time, counted first: they are the largest records.
    int64_t times = 0;
    for (const KeyWrite *write = begin; write != end; ++write)
        if (write == begin || write[-1].time != write->time) ++times;
    if (!reserve_block(&list->solves, &list->solve_capacity, times)) return false;
    for (KeyWrite *write = begin; write != end; ++write) {
        if (list->solve_count == 0 || list->solves[list->solve_count - 1].time != write->time) {
            if (!grow_block(&list->solves, &list->solve_capacity, static_cast<int64_t>(list->solve_count) + 1))
                return false;
            KeySolve &solve = list->solves[list->solve_count++];
            solve.time = write->time;
            solve.posed = 0;
            solve.scaling = 0;
        }
        write->solve = list->solve_count - 1;
    }
    return true;
}

void key_write_list_free(KeyWriteList *list) {
    std::free(list->writes);
    std::free(list->solves);
    std::free(list->spare);
    key_write_list_init(list);
}
