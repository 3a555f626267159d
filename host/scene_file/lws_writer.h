// Writes a scene back into the file it was read from: the original bytes
// wherever the host changed nothing, and the file's own statements where it
// changed parents, links, controllers, full-time IK or motion keys.
#pragma once

#include <string>

#include "atomic_file.h"
#include "lws_document.h"
#include "host/core/scene.h"

namespace headless {

// The file's new text. Returns false with `error` when the scene holds a
// change that the file cannot take (an item added or removed since loading).
bool render_lws(const LwsDocument &document, const Scene &scene, std::string *out, std::string *error);

// Writes the scene to `path` with write_file_safely, handing the new text on
// in pieces as it is made rather than holding it whole.
bool write_lws_file(const LwsDocument &document, const Scene &scene, const std::string &path, bool overwrite,
                    std::string *error);

}  // namespace headless
