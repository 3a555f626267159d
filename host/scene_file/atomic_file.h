// Replacing a file so that readers see either the old file or the whole new
// one, and nothing is left behind when the write fails or is interrupted.
#pragma once

#include <cstddef>
#include <functional>
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

// Takes the next bytes of the new file; false once they cannot be written
// (the reason is then the save's error), and every later call is refused.
using WriteBytes = std::function<bool(const char *data, size_t size)>;
// Hands the new file's text to `write` in as many pieces as it likes, so a
// large file need never be held whole; returns false to give up.
using ProduceText = std::function<bool(const WriteBytes &write)>;

// The same, the text coming from `produce` while the temporary file is open.
// Giving up, like a failed write, removes the temporary file and replaces nothing.
bool write_file_safely(const std::string &path, const ProduceText &produce, bool overwrite, std::string *error);

}  // namespace headless
