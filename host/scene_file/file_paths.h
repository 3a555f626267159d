// Splitting a file path into its folder and its name, with either slash, as
// paths come from scripts, scene files and the command line on both platforms.
#pragma once

#include <string>

namespace headless {

// The folder part with its trailing slash; empty for a bare file name.
inline std::string folder_of(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file name without its folder.
inline std::string file_name_of(const std::string &path) { return path.substr(folder_of(path).size()); }

}  // namespace headless
