// A file of JSON lines written as a run goes, for pipelines that read it
// while or after the tool runs: each line goes to the file whole, in one
// write, so a tool stopped at any moment leaves whole lines only.
#pragma once

#include <string>

namespace headless {

class JsonLinesFile {
public:
    JsonLinesFile() = default;
    JsonLinesFile(const JsonLinesFile &) = delete;
    JsonLinesFile &operator=(const JsonLinesFile &) = delete;
    ~JsonLinesFile();

    // Creates or empties the file; false with `error` set when it cannot.
    bool open(const std::string &path, std::string *error);
    bool is_open() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    // Appends `line` and a line end. A write that fails part way (a full
    // disk) is cut back off, so the file still ends with a whole line.
    bool append(const std::string &line, std::string *error);

private:
    void close();

    int fd_ = -1;
    std::string path_;
    long long size_ = 0;  // the length of the whole lines written
};

}  // namespace headless
