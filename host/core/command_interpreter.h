// Applies the command texts a plug-in sends to the headless scene, as Layout
// does for the items selected at the time.
#pragma once

#include <string>

#include "scene.h"

namespace headless {

// Applies one command text to the scene. Returns an empty string when it was
// applied, else why not; a text it does not understand is never applied in
// part. A Host applies the texts a plug-in sends with it unless told otherwise.
std::string apply_command_text(Scene &scene, const std::string &text);

}  // namespace headless
