// Scene-file tests: a scene read from a text with its document, written back,
// and whole files read as they are on disk.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "host/scene_file/lws_reader.h"
#include "host/scene_file/lws_writer.h"

namespace headless {

struct Loaded {
    Scene scene;
    LwsDocument doc;
};

inline Loaded load_lws(const std::string &text, const std::string &name) {
    Loaded l;
    std::string error;
    EXPECT_TRUE(read_lws_text(text, name, &l.scene, &l.doc, &error)) << error;
    return l;
}

inline std::string render(const Loaded &l) {
    std::string out, error;
    EXPECT_TRUE(render_lws(l.doc, l.scene, &out, &error)) << error;
    return out;
}

inline std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace headless
