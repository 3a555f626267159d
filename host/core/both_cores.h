// Work spread over the machine's cores: the host's reading, writing and
// checking treat items (or envelopes) apart, so parts of a list can run side
// by side. Nothing here is shared between parts but what the caller shares.
#pragma once

#include <cstddef>
#include <functional>

namespace headless {

// How many threads work may use: the cores this process may run on, at
// least 1. LWHEADLESS_THREADS (a whole number from 1) sets it instead, so a
// benchmark can compare one thread with all in the same run.
size_t worker_threads();

// Calls work(part) once for every part in [0, parts), spread over at most
// worker_threads() threads, the calling thread being one of them, and
// returns when every part has ended. Parts are handed out in order, one at a
// time, so uneven parts still share the load. When no thread can be started
// the calling thread does all the parts. The first exception a part throws is
// thrown again here once every thread has stopped; parts not yet started
// then do not start.
void run_in_parts(size_t parts, const std::function<void(size_t part)> &work);

}  // namespace headless
