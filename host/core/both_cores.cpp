#include "both_cores.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

namespace headless {

size_t worker_threads() {
    if (const char *forced = std::getenv("LWHEADLESS_THREADS")) {
        char *end = nullptr;
        const unsigned long count = std::strtoul(forced, &end, 10);
        if (end != forced && *end == '\0' && count >= 1 && count <= 256) return count;
    }
#ifdef __linux__
    // A container or `taskset` may allow fewer cores than the machine has.
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count >= 1) return static_cast<size_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count >= 1 ? count : 1;
}

void run_in_parts(size_t parts, const std::function<void(size_t part)> &work) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_failure;
    std::mutex failure_lock;
    const auto take_parts = [&] {
        for (size_t part; !failed.load(std::memory_order_relaxed) && (part = next.fetch_add(1)) < parts;) {
            try {
                work(part);
            } catch (...) {
                std::lock_guard<std::mutex> hold(failure_lock);
                if (!first_failure) first_failure = std::current_exception();
                failed = true;
            }
        }
    };
    std::vector<std::thread> helpers;
    const size_t threads = std::min(worker_threads(), parts);
    for (size_t i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(take_parts);
        } catch (const std::system_error &) {
            break;  // the threads started so far, and this one, do the work
        }
    }
    take_parts();
    for (std::thread &helper : helpers) helper.join();
    if (first_failure) std::rethrow_exception(first_failure);
}

}  // namespace headless
