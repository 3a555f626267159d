// Replacing a file so that readers see either the old file or the whole new
// one, and nothing is left behind when the write fails or is interrupted.
#pragma once

#include <string>

namespace headless {

// Whether anything, even a symbolic link to nothing, is at `path`.
bool file_exists(const std::string &path);

// Writes `text` to `path` through a new temporary file beside it, flushed to
// disk and then moved into place, so that a failure leaves no partial file and
// the old one untouched. An existing file, even one that appears meanwhile, is
// replaced only with `overwrite`; the replacement keeps its permissions, and a
// symbolic link keeps pointing at the file, which is the one replaced.
// Interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT (where the program left
// their default action), the temporary file is removed before the process
// ends as the signal says; a file-size limit makes the write fail (EFBIG)
// rather than end the process. The handlers know one temporary file: one
// save at a time per process.
bool write_file_safely(const std::string &path, const std::string &text, bool overwrite, std::string *error);

}  // namespace headless
