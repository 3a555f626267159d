// Reads LightWave scene files (LWSC 1 and later) into a headless scene and a
// document that remembers the file's text for writing it back.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "lws_document.h"
#include "host/core/scene.h"

namespace headless {

// Called now and then with the bytes read so far and the file's size.
using LwsProgress = std::function<void(size_t done, size_t total)>;

// Reads `path` into a fresh `scene` and `document`. On failure returns false
// with `error` naming the file, the line and what was expected; `scene` and
// `document` are then left as they were.
bool read_lws_file(const std::string &path, Scene *scene, LwsDocument *document, std::string *error,
                   const LwsProgress &progress = {});

// The same from text in memory; `name` stands for the file in messages.
bool read_lws_text(std::string text, const std::string &name, Scene *scene, LwsDocument *document,
                   std::string *error, const LwsProgress &progress = {});

}  // namespace headless
