// Applies the command texts a plug-in sends to the headless scene, as Layout
// does for the items selected at the time.
#pragma once

#include <string>

namespace headless {

class Host;

// Applies one command text to the host's scene. Returns an empty string when
// it was applied, else why not; a text it does not understand is never
// applied in part.
std::string apply_command_text(Host &host, const std::string &text);

// Makes `host` apply command texts with apply_command_text. Every Host does
// this when it is created.
void install_command_interpreter(Host &host);

}  // namespace headless
