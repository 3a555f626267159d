#include "lws_reader.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <sys/stat.h>
#ifdef __linux__
#include <sys/mman.h>
#endif

#include "host/core/both_cores.h"
#include "interface/host_api.h"
#include "interface/host_numbering.h"
#include "file_paths.h"

namespace headless {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kMaxItemsOfAKind = host_numbering::kObjectSerialMask + 1;
constexpr uint32_t kMaxBonesPerObject = host_numbering::kBoneSerialMax + 1;
constexpr int kNewestKnownVersion = 8;

struct Line {
    size_t begin = 0;  // first byte
    size_t end = 0;    // after the line ending
    std::string_view content;  // without the line ending
    int number = 0;
};

// The line that starts at `at`, reaching no further than `limit`; its
// content leaves out the line ending (a carriage return before a line feed
// too). Returns where the next line starts.
inline size_t cut_line(const char *text, size_t at, size_t limit, char eol, Line *line) {
    const void *found = std::memchr(text + at, eol, limit - at);
    const size_t nl = found ? static_cast<size_t>(static_cast<const char *>(found) - text) : limit;
    size_t content_end = nl;
    if (eol == '\n' && content_end > at && text[content_end - 1] == '\r') --content_end;
    line->begin = at;
    line->end = found ? nl + 1 : limit;
    line->content = std::string_view(text + at, content_end - at);
    return line->end;
}

struct ParseError {
    int line;
    std::string what;
};

// Thrown where a file read with envelopes apart needs reading in order
// instead (a plug-in inside an envelope, a key count that warns).
struct ReadInOrder {};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        const size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

// The text after the first `skip` words, for names and paths with blanks.
std::string_view rest_after(std::string_view s, size_t skip) {
    size_t i = 0;
    for (size_t w = 0; w < skip; ++w) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    }
    return trim(s.substr(std::min(i, s.size())));
}

struct PendingLink {
    ItemIdValue item;
    LwsLinkSlot slot;
    ItemIdValue target;
    int line;
    bool object_number = false;  // `target` is a 1-based object number (older files)
    const char *keyword = "";    // of a numbered link, for its errors
};

// A statement as its handler sees it: the whole line, and the statement's own
// text, which starts inside the line when it was glued to the one before.
struct Statement {
    const Line &line;
    std::string_view text;
    size_t begin;  // where `text` starts in the file
    const std::vector<std::string_view> &words;
    std::string_view keyword() const { return words.front(); }
};

class Reader;

// The statements the reader acts on, each with its handler. Any other
// statement is kept as text, so a table lookup is all most of them cost.
enum : unsigned {
    kOldOnly = 1,  // only LWSC 1 and 2 know it; later files keep it as text
    kGlued = 2,    // also read when glued to the previous statement's number
};
struct StatementRule {
    std::string_view keyword;
    void (*read)(Reader &, const Statement &);
    unsigned flags;
};

// How a declaration statement names and numbers its item.
enum class Naming { Fixed, Rest, File };
struct Declaration {
    std::string_view keyword;
    ItemKind kind;
    Naming naming;
    const char *fixed_name;  // for Naming::Fixed
    bool layer;              // a layer number comes before the id
    bool optional_id;        // seen both with and without an id
};
constexpr Declaration kDeclarations[] = {
    {"LoadObjectLayer", ItemKind::Object, Naming::File, "", true, false},
    {"LoadObject", ItemKind::Object, Naming::File, "", false, true},
    {"AddNullObject", ItemKind::Object, Naming::Rest, "", false, false},
    {"AddBone", ItemKind::Bone, Naming::Fixed, "Bone", false, false},
    {"AddLight", ItemKind::Light, Naming::Fixed, "Light", false, false},
    {"AddCamera", ItemKind::Camera, Naming::Fixed, "Camera", false, false},
};

// Name and display statements lead an item; its motion comes after them.
bool leads_item(std::string_view keyword) {
    return (keyword.substr(0, 4) == "Bone" && keyword != "BoneMotion") || keyword.substr(0, 4) == "Show" ||
           keyword == "ChangeObject" || keyword == "Group" || keyword == "SchematicPosition" ||
           keyword == "LightName" || keyword == "CameraName";
}

class Reader {
public:
    // `apart`: envelopes' keys are read after the rest of the file, on the
    // cores there are; read() then throws ReadInOrder, or any error it
    // meets, and the file is to be read again without `apart` (which names
    // the first error in the file and keeps warnings in order).
    Reader(const std::string &text, Scene &scene, LwsDocument &doc, const LwsProgress &progress, bool apart,
           size_t progress_shown)
        : text_(text), scene_(scene), doc_(doc), progress_(progress), apart_(apart), last_progress_(progress_shown) {}

    void read();
    size_t progress_shown() const { return last_progress_; }

private:
    // ---- lines ----
    bool next_line(Line *line) {
        if (pos_ >= text_.size()) return false;
        pos_ = cut_line(text_.data(), pos_, text_.size(), eol_, line);
        line->number = ++line_number_;
        report_progress();
        return true;
    }
    // Envelopes set apart are counted once they are read.
    void report_progress() { show_progress(pos_ - apart_bytes_); }
    // The caller hears how far the reading is, every eight megabytes.
    void show_progress(size_t done) {
        if (progress_ && done >= last_progress_ + (8u << 20)) {
            last_progress_ = done;
            progress_(done, text_.size());
        }
    }
    // The line after the current one, without reading past it.
    bool peek_line(Line *line) {
        const size_t pos = pos_;
        const int number = line_number_;
        const bool found = next_line(line);
        pos_ = pos;
        line_number_ = number;
        return found;
    }
    // The next line, or a truncation error saying what was still expected.
    Line expect_line(const std::string &expected) {
        Line line;
        if (!next_line(&line)) fail(line_number_, "the file ends early; expected " + expected);
        return line;
    }
    [[noreturn]] static void fail(int line, const std::string &what) { throw ParseError{line, what}; }

    // ---- values ----
    // Read as a key line's numbers are, so a word reads the same anywhere.
    static double number(std::string_view word, int line, const char *what) {
        double value = 0.0;
        if (!parse_lws_number(word, &value))
            fail(line, std::string("expected a number for ") + what + ", found '" + std::string(word) + "'");
        return value;
    }
    static long integer(std::string_view word, int line, const char *what) {
        const std::string copy(word);
        char *end = nullptr;
        errno = 0;
        const long value = std::strtol(copy.c_str(), &end, 10);
        if (copy.empty() || *end != '\0' || errno == ERANGE)
            fail(line, std::string("expected a whole number for ") + what + ", found '" + copy + "'");
        return value;
    }
    // A key count as an envelope states it.
    static long key_count(std::string_view word, int line) {
        const long count = integer(word, line, "the key count");
        if (count < 0) fail(line, "expected a key count of 0 or more");
        return count;
    }
    // An envelope's behaviours before its first key and after its last.
    static void read_behaviors(std::string_view pre_word, std::string_view post_word, int line, Envelope &envelope) {
        const long pre = integer(pre_word, line, "the pre behavior");
        const long post = integer(post_word, line, "the post behavior");
        if (pre < 0 || pre > 5 || post < 0 || post > 5) fail(line, "expected behaviors from 0 to 5");
        envelope.pre_behavior = static_cast<EnvelopeBehavior>(pre);
        envelope.post_behavior = static_cast<EnvelopeBehavior>(post);
    }
    ItemIdValue hex_id(std::string_view word, int line) {
        const std::string copy(word);
        bool ok = !copy.empty() && copy.size() <= 8;
        for (char c : copy) ok = ok && std::isxdigit(static_cast<unsigned char>(c));
        if (!ok) fail(line, "expected an item id (eight hexadecimal digits), found '" + copy + "'");
        return static_cast<ItemIdValue>(std::strtoul(copy.c_str(), nullptr, 16));
    }
    // The statement's words, once it is known to hold `count` after its keyword.
    const std::vector<std::string_view> &args(const Statement &s, size_t count, const char *usage) {
        if (s.words.size() < count + 1) fail(s.line.number, std::string("expected ") + usage);
        return s.words;
    }

    // ---- structure ----
    void read_header();
    void skip_block(const Line &open);
    void skip_plugin(const Line &open);
    void read_plugin(const Statement &s);
    void read_plugin_enabled(const Statement &s);
    void read_position_controller(const Statement &s, int axis);
    void read_statement(const Line &line, std::string_view statement, size_t statement_begin);
    static const StatementRule *find_rule(std::string_view keyword);
    void read_glued(const Statement &s);
    void declare_item(const Line &line, const std::vector<std::string_view> &words);
    void add_declared(const Line &line, ItemKind kind, std::optional<ItemIdValue> stated_id, const std::string &name);
    uint32_t &declared_of_kind(ItemKind kind);
    void start_motion(const Statement &s);
    int frame_setting(const Statement &s, const char *usage);
    void read_name(const Statement &s);
    void read_pivot(const Statement &s, bool rotation);
    void read_link(const Statement &s, LwsLinkSlot slot, bool numbered);
    void read_controller(const Statement &s, int axis);
    void read_full_time_ik(const Statement &s);
    void read_motion(const Line &line);
    void read_envelope(const Line &open, int channel);
    template <class NextLine>
    size_t read_envelope_lines(NextLine &&next, const Line &open, int channel, size_t count_end, long declared,
                               Envelope &envelope, LwsEnvelopeRecord &env, std::vector<MotionPlugin> *plugins,
                               Line *line) const;
    void end_envelope(const Envelope &envelope, LwsEnvelopeRecord &env, const Line &open, const Line &close,
                      long declared, size_t keys, int count_line, std::vector<std::string> *warnings) const;
    bool find_close(size_t from, int number, long declared, Line *close) const;
    void read_apart();
    void read_old_motion(const Line &motion_line);
    void read_shared_keys(LwsItemRecord &record, int channels);
    void read_channel_lists(LwsItemRecord &record, int channels);
    void end_motion(LwsItemRecord &record);
    void frames_to_seconds();
    void record_slot(const Line &line, size_t statement_begin, LwsLinkSlot slot);
    void finish_item();
    void resolve_links();
    void name_duplicates();
    LwsItemRecord &current(const Line &line, std::string_view keyword) {
        if (!record_) fail(line.number, std::string(keyword) + " comes before any item");
        return doc_.items[*record_];
    }
    Item &current_item(const Line &line, std::string_view keyword) {
        return *scene_.find(current(line, keyword).id);
    }

    const std::string &text_;
    Scene &scene_;
    LwsDocument &doc_;
    const LwsProgress &progress_;
    // An envelope whose lines after the key count are read apart.
    struct ApartBlock {
        Envelope *envelope;
        size_t item, record;  // in doc_.items and that item's envelopes
        Line open, close;
        size_t begin;  // after the key count line
        int count_line;
        long declared;
    };
    const bool apart_;
    std::vector<ApartBlock> apart_blocks_;
    size_t apart_bytes_ = 0;
    size_t pos_ = 0;
    char eol_ = '\n';  // '\r' in files whose lines end with a carriage return alone
    size_t last_progress_ = 0;
    int line_number_ = 0;

    std::optional<size_t> record_;  // index of the current item in doc_.items
    ItemIdValue current_object_ = 0;
    uint32_t object_count_ = 0, light_count_ = 0, camera_count_ = 0, bone_count_ = 0;
    std::map<ItemIdValue, uint32_t> bone_counts_;
    std::map<ItemIdValue, int> declared_at_;
    std::vector<PendingLink> pending_;
    std::vector<ItemIdValue> objects_in_order_;
    // The motion plug-in the last `EndPlugin` closed and where the line
    // after it starts: a `PluginEnabled` there is that plug-in's.
    size_t plugin_closed_at_ = std::string::npos;
    ItemIdValue plugin_item_ = 0;
    size_t plugin_index_ = 0;
    // Anchors of the current item for link statements that were absent.
    bool header_open_ = false;
    size_t header_end_ = 0;
    size_t motion_end_ = 0, locked_end_ = 0, pivot_end_ = 0, pivot_rotation_end_ = 0, declaration_end_ = 0;
};

void Reader::read() {
    read_header();
    Line line;
    while (next_line(&line)) {
        const std::string_view content = trim(line.content);
        if (content.empty() || content.substr(0, 2) == "//") continue;
        if (content.front() == '{') {
            skip_block(line);
            continue;
        }
        if (content == "}") fail(line.number, "'}' without a block to close");
        read_statement(line, content, line.begin);
    }
    finish_item();
    if (!apart_blocks_.empty()) read_apart();
    frames_to_seconds();
    resolve_links();
    name_duplicates();
}

// The line that closes an envelope whose lines after the key count start at
// `from` (numbered `number`), found without reading the lines between: the
// first '}' after `from`, when it stands alone on its line as a block's end
// does. Otherwise the block is read line by line. Its number is taken to be
// what `declared` keys and a behaviour line before it make; reading the block
// apart checks that, and a block that holds other lines has the file read in
// order.
bool Reader::find_close(size_t from, int number, long declared, Line *close) const {
    const char *const text = text_.data();
    const void *found = std::memchr(text + from, '}', text_.size() - from);
    if (!found) return false;
    const size_t brace = static_cast<size_t>(static_cast<const char *>(found) - text);
    size_t begin = brace;
    for (; begin > from && text[begin - 1] != eol_; --begin)
        if (text[begin - 1] != ' ' && text[begin - 1] != '\t') return false;
    size_t after = brace + 1;
    for (; after < text_.size() && text[after] != eol_; ++after)
        if (text[after] != ' ' && text[after] != '\t' && text[after] != '\r') return false;
    close->begin = begin;
    close->end = after < text_.size() ? after + 1 : after;
    close->content = std::string_view(text_).substr(begin, after - begin);
    long long lines = 0;
    if (begin > from) {
        size_t last = begin - 1;  // the line before the '}' line, by its line break
        while (last > from && text[last - 1] != eol_) --last;
        lines = static_cast<long long>(declared) +
                (trim(std::string_view(text + last, begin - last)).substr(0, 9) == "Behaviors" ? 1 : 0);
    }
    if (lines > std::numeric_limits<int>::max() - 1 - number) return false;
    close->number = number + static_cast<int>(lines);
    return true;
}

// The envelopes set apart, spread over the cores: each is one item's
// channel, read and fingerprinted by one thread alone.
void Reader::read_apart() {
    const std::thread::id caller = std::this_thread::get_id();
    const size_t read_in_order = text_.size() - apart_bytes_;
    std::atomic<size_t> apart_done{0};
    run_in_parts(apart_blocks_.size(), [&](size_t part) {
        const ApartBlock &block = apart_blocks_[part];
        LwsEnvelopeRecord &env = doc_.items[block.item].envelopes[block.record];
        size_t at = block.begin;
        int number = block.count_line;
        const auto next = [&](Line *line) {
            if (at >= block.close.begin) return false;
            at = cut_line(text_.data(), at, block.close.begin, eol_, line);
            line->number = ++number;
            return true;
        };
        Line line;
        const size_t keys = read_envelope_lines(next, block.open, env.channel, block.begin, block.declared,
                                                *block.envelope, env, nullptr, &line);
        // Not the lines find_close took the block to have: numbers after it were wrong.
        if (number != block.close.number - 1) throw ReadInOrder{};
        end_envelope(*block.envelope, env, block.open, block.close, block.declared, keys, block.count_line, nullptr);
        const size_t done = read_in_order + apart_done.fetch_add(block.close.begin - block.begin) +
                            (block.close.begin - block.begin);
        // The callback is the caller's: it is called from the caller's thread only.
        if (std::this_thread::get_id() == caller) show_progress(done);
    });
}

void Reader::read_header() {
    // Classic Mac systems end lines with a carriage return alone.
    const size_t first_break = text_.find_first_of("\r\n");
    if (first_break != std::string::npos && text_[first_break] == '\r' &&
        (first_break + 1 == text_.size() || text_[first_break + 1] != '\n'))
        eol_ = '\r';
    Line line;
    std::string_view magic = line.content;
    if (next_line(&line)) {
        magic = line.content;
        // Some editors start a file with a UTF-8 byte order mark; it is kept as text.
        if (magic.substr(0, 3) == "\xEF\xBB\xBF") magic.remove_prefix(3);
    }
    if (trim(magic) != "LWSC") fail(1, "expected 'LWSC' on the first line: this is not a LightWave scene file");
    doc_.line_ending = eol_ == '\r' ? "\r"
                       : text_.compare(line.end - std::min<size_t>(2, line.end), 2, "\r\n") == 0 ? "\r\n"
                                                                                             : "\n";
    line = expect_line("the format version");
    const long version = integer(trim(line.content), line.number, "the format version");
    if (version < 1)
        fail(line.number, "scene format " + std::to_string(version) + " is unknown; expected version 1 or later");
    doc_.version = static_cast<int>(std::min<long>(version, 1 << 30));
    // The oldest formats write TCB keys (and linear spans in version 1) only.
    if (doc_.version <= 2)
        scene_.key_shapes = (1u << static_cast<int>(KeyShape::Tcb)) |
                            (doc_.version == 1 ? 1u << static_cast<int>(KeyShape::Linear) : 0u);
    if (doc_.version > kNewestKnownVersion)
        doc_.warnings.push_back(doc_.path + ":" + std::to_string(line.number) + ": scene format version " +
                                std::to_string(version) + " is newer than any this host knows (up to " +
                                std::to_string(kNewestKnownVersion) + "); it is read as version " +
                                std::to_string(kNewestKnownVersion) +
                                ", statements unknown to that are kept as they are; check the result");
}

void Reader::skip_block(const Line &open) {
    int depth = 1;
    Line line;
    while (depth > 0) {
        if (!next_line(&line))
            fail(line_number_, "the file ends inside the block opened at line " + std::to_string(open.number) +
                                   "; expected '}'");
        const std::string_view content = trim(line.content);
        if (!content.empty() && content.front() == '{') ++depth;
        if (content == "}") --depth;
    }
}

void Reader::skip_plugin(const Line &open) {
    Line line;
    do {
        if (!next_line(&line))
            fail(line_number_, "the file ends inside the plug-in opened at line " + std::to_string(open.number) +
                                   "; expected 'EndPlugin'");
    } while (trim(line.content) != "EndPlugin");
}

// Plug-ins that move an item are kept by name for reports; every plug-in's
// lines stay text.
void Reader::read_plugin(const Statement &s) {
    const bool moves = record_ && s.words.size() > 1 &&
                       (s.words[1] == "ItemMotionHandler" || s.words[1] == "ChannelHandler");
    if (moves) {
        Item &item = current_item(s.line, s.keyword());
        item.motion_plugins.push_back(
            {std::string(s.words[1]), s.words.size() > 3 ? std::string(s.words[3]) : std::string(), -1, true});
        plugin_item_ = item.id;
        plugin_index_ = item.motion_plugins.size() - 1;
    }
    skip_plugin(s.line);
    plugin_closed_at_ = moves ? pos_ : std::string::npos;
}

void Reader::read_plugin_enabled(const Statement &s) {
    if (s.line.begin != plugin_closed_at_ || s.words.size() < 2) return;  // another plug-in's: text
    scene_.find(plugin_item_)->motion_plugins[plugin_index_].enabled = s.words[1] != "0";
}

// Read only to tell keys from other motion, so a mode this host does not
// know loads too (-1 when it is no number).
void Reader::read_position_controller(const Statement &s, int axis) {
    if (!record_ || s.words.size() < 2) return;
    const std::string word(s.words[1]);
    char *end = nullptr;
    errno = 0;
    const long mode = std::strtol(word.c_str(), &end, 10);
    const bool number = *end == '\0' && errno == 0 && mode >= 0 && mode <= 1000000;
    current_item(s.line, s.keyword()).position_controllers[static_cast<size_t>(axis)] =
        number ? static_cast<int>(mode) : -1;
}

void Reader::read_statement(const Line &line, std::string_view statement, size_t statement_begin) {
    const std::vector<std::string_view> words = split(statement);
    const Statement s{line, statement, statement_begin, words};
    const std::string_view keyword = s.keyword();
    if (record_ && header_open_) {
        if (leads_item(keyword) && statement_begin == line.begin)
            header_end_ = line.end;
        else
            header_open_ = false;
    }
    if (doc_.version == 1 && (keyword == "ShowCamera" || keyword == "CameraMotion") &&
        !(record_ && kind_of(doc_.items[*record_].id) == ItemKind::Camera)) {
        // LWSC 1 has one camera and no statement adding it: its section starts here.
        if (camera_count_ > 0) fail(line.number, std::string(keyword) + " of a second camera; LWSC 1 scenes have one");
        declare_item(line, {"AddCamera"});
        if (keyword == "CameraMotion") declaration_end_ = header_end_ = line.begin;
    }
    const StatementRule *rule = find_rule(keyword);
    if (rule && (!(rule->flags & kOldOnly) || doc_.version <= 2)) return rule->read(*this, s);
    if (record_ && statement_begin == line.begin) read_glued(s);
}

const StatementRule *Reader::find_rule(std::string_view keyword) {
    using S = const Statement &;
    static constexpr StatementRule kRules[] = {
        {"Plugin", [](Reader &r, S s) { r.read_plugin(s); }, 0},
        {"PluginEnabled", [](Reader &r, S s) { r.read_plugin_enabled(s); }, 0},
        {"LoadObjectLayer", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"LoadObject", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"AddNullObject", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"AddBone", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"AddLight", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"AddCamera", [](Reader &r, S s) { r.declare_item(s.line, s.words); }, 0},
        {"ObjectMotion", [](Reader &r, S s) { r.start_motion(s); }, 0},
        {"BoneMotion", [](Reader &r, S s) { r.start_motion(s); }, 0},
        {"LightMotion", [](Reader &r, S s) { r.start_motion(s); }, 0},
        {"CameraMotion", [](Reader &r, S s) { r.start_motion(s); }, 0},
        {"FirstFrame", [](Reader &r, S s) { r.scene_.frame_start = r.frame_setting(s, "a frame"); }, 0},
        {"LastFrame", [](Reader &r, S s) { r.scene_.frame_end = r.frame_setting(s, "a frame"); }, 0},
        {"FrameStep", [](Reader &r, S s) { r.scene_.frame_step = r.frame_setting(s, "a step"); }, 0},
        {"FramesPerSecond",
         [](Reader &r, S s) {
             const double fps = r.number(r.args(s, 1, "a rate")[1], s.line.number, "FramesPerSecond");
             if (fps <= 0) r.fail(s.line.number, "expected a positive FramesPerSecond");
             r.scene_.frames_per_second = fps;
         },
         0},
        // Frames for now; seconds once the frame rate is known.
        {"CurrentFrame",
         [](Reader &r, S s) { r.scene_.time = r.number(r.args(s, 1, "a frame")[1], s.line.number, "CurrentFrame"); },
         0},
        {"LightName", [](Reader &r, S s) { r.read_name(s); }, 0},
        {"CameraName", [](Reader &r, S s) { r.read_name(s); }, 0},
        {"BoneName", [](Reader &r, S s) { r.read_name(s); }, 0},
        {"PivotPosition", [](Reader &r, S s) { r.read_pivot(s, false); }, 0},
        {"PivotPoint", [](Reader &r, S s) { r.read_pivot(s, false); }, kOldOnly},  // LWSC 1's PivotPosition
        {"PivotRotation", [](Reader &r, S s) { r.read_pivot(s, true); }, 0},
        {"LockedChannels", [](Reader &r, S s) { if (r.record_) r.locked_end_ = s.line.end; }, 0},
        {"ParentItem", [](Reader &r, S s) { r.read_link(s, kSlotParent, false); }, kGlued},
        {"TargetItem", [](Reader &r, S s) { r.read_link(s, kSlotTarget, false); }, kGlued},
        {"PoleItem", [](Reader &r, S s) { r.read_link(s, kSlotPole, false); }, 0},
        {"PositionItem", [](Reader &r, S s) { r.read_link(s, kSlotPositionItem, false); }, 0},
        {"RotationItem", [](Reader &r, S s) { r.read_link(s, kSlotRotationItem, false); }, 0},
        {"ScaleItem", [](Reader &r, S s) { r.read_link(s, kSlotScaleItem, false); }, 0},
        {"GoalItem", [](Reader &r, S s) { r.read_link(s, kSlotGoal, false); }, 0},
        // Before ids were written, links named objects by their 1-based number in file order.
        {"GoalObject", [](Reader &r, S s) { r.read_link(s, kSlotGoal, r.doc_.version < 4); }, kGlued},
        {"ParentObject", [](Reader &r, S s) { r.read_link(s, kSlotParent, true); }, kOldOnly | kGlued},
        {"TargetObject", [](Reader &r, S s) { r.read_link(s, kSlotTarget, true); }, kOldOnly | kGlued},
        {"HController", [](Reader &r, S s) { r.read_controller(s, 0); }, kGlued},
        {"PController", [](Reader &r, S s) { r.read_controller(s, 1); }, kGlued},
        {"BController", [](Reader &r, S s) { r.read_controller(s, 2); }, kGlued},
        {"FullTimeIK", [](Reader &r, S s) { r.read_full_time_ik(s); }, kGlued},
        {"XController", [](Reader &r, S s) { r.read_position_controller(s, 0); }, kGlued},
        {"YController", [](Reader &r, S s) { r.read_position_controller(s, 1); }, kGlued},
        {"ZController", [](Reader &r, S s) { r.read_position_controller(s, 2); }, kGlued},
    };
    for (const StatementRule &rule : kRules)
        if (rule.keyword == keyword) return &rule;
    return nullptr;
}

// Layout sometimes writes a statement straight after the previous one's
// number ("HJointStiffness 50PController 3"). Read the one we care about.
void Reader::read_glued(const Statement &s) {
    for (size_t i = 1; i < s.text.size(); ++i) {
        if (!std::isupper(static_cast<unsigned char>(s.text[i])) ||
            !std::isdigit(static_cast<unsigned char>(s.text[i - 1])))
            continue;
        const std::string_view glued = s.text.substr(i);
        const StatementRule *rule = find_rule(split(glued).front());
        if (rule && (rule->flags & kGlued)) {
            read_statement(s.line, glued, s.line.begin + static_cast<size_t>(glued.data() - s.line.content.data()));
            return;
        }
    }
}

void Reader::start_motion(const Statement &s) {
    if (doc_.version <= 2) {
        if (s.words.size() < 2)
            fail(s.line.number, "expected '" + std::string(s.keyword()) + " (unnamed)': LWSC " +
                                    std::to_string(doc_.version) + " motions list their keys after it");
        return read_old_motion(s.line);
    }
    if (s.words.size() > 1)
        fail(s.line.number,
             "expected '" + std::string(s.keyword()) + "' alone (older motion layout in a newer file)");
    read_motion(s.line);
}

int Reader::frame_setting(const Statement &s, const char *usage) {
    return static_cast<int>(integer(args(s, 1, usage)[1], s.line.number, std::string(s.keyword()).c_str()));
}

void Reader::read_name(const Statement &s) {
    Item &item = current_item(s.line, s.keyword());
    item.name = std::string(rest_after(s.text, 1));
    item.motion->name = item.name;
}

void Reader::read_pivot(const Statement &s, bool rotation) {
    const auto &w = args(s, 3, "three numbers");
    Vec3 v;
    for (int i = 0; i < 3; ++i) v[i] = number(w[i + 1], s.line.number, "the pivot");
    Item &item = current_item(s.line, s.keyword());
    if (!rotation) {
        item.pivot = v;
        pivot_end_ = s.line.end;
    } else {
        for (double &angle : v) angle *= kPi / 180.0;  // the file keeps degrees
        item.pivot_rotation = v;
        pivot_rotation_end_ = s.line.end;
    }
}

// `numbered`: the link names an object by its 1-based number in file order.
void Reader::read_link(const Statement &s, LwsLinkSlot slot, bool numbered) {
    const auto &w = args(s, 1, "an item");
    const LwsItemRecord &record = current(s.line, s.keyword());
    ItemIdValue target = 0;
    if (numbered) {
        const std::string name(s.keyword());
        const long n = integer(w[1], s.line.number, name.c_str());
        if (n < 1 || n > static_cast<long>(kMaxItemsOfAKind))
            fail(s.line.number,
                 "expected an object number from 1 to " + std::to_string(kMaxItemsOfAKind) + " for " + name);
        target = static_cast<ItemIdValue>(n);  // resolved once all objects are known
    } else {
        target = hex_id(w[1], s.line.number);
    }
    record_slot(s.line, s.begin, slot);
    pending_.push_back({record.id, slot, target, s.line.number, numbered,
                        slot == kSlotParent ? "ParentObject" : slot == kSlotTarget ? "TargetObject" : "GoalObject"});
}

void Reader::read_controller(const Statement &s, int axis) {
    const long mode = integer(args(s, 1, "a controller")[1], s.line.number, "the controller");
    if (mode < 0 || mode > 7) fail(s.line.number, "expected a controller from 0 to 7");
    current_item(s.line, s.keyword()).controllers[axis] = static_cast<int>(mode);
    record_slot(s.line, s.begin, static_cast<LwsLinkSlot>(kSlotHController + axis));
}

void Reader::read_full_time_ik(const Statement &s) {
    const bool on = s.words.size() < 2 || integer(s.words[1], s.line.number, "FullTimeIK") != 0;
    Item &item = current_item(s.line, s.keyword());
    item.flags = on ? (item.flags | host_abi::kItemFlagFullTimeIk) : (item.flags & ~host_abi::kItemFlagFullTimeIk);
    record_slot(s.line, s.begin, kSlotFullTimeIk);
}

void Reader::record_slot(const Line &line, size_t statement_begin, LwsLinkSlot slot) {
    LwsStatementPlace &place = doc_.items[*record_].slots[slot];
    if (place.present) fail(line.number, "this item already has a " + std::string(split(trim(line.content))[0]) +
                                             " statement (a second one would be ambiguous)");
    place.present = true;
    place.line = {line.begin, line.end};
    place.statement_begin = statement_begin;
}

void Reader::declare_item(const Line &line, const std::vector<std::string_view> &words) {
    finish_item();
    const std::string_view keyword = words.front();
    // Only the statements of kDeclarations come here.
    const Declaration &how =
        *std::find_if(std::begin(kDeclarations), std::end(kDeclarations),
                      [&](const Declaration &d) { return d.keyword == keyword; });
    const bool with_ids = doc_.version >= 4;
    const ItemKind kind = how.kind;
    std::string name = how.fixed_name;
    ItemIdValue id = 0;
    size_t skip = 1;  // words before the name or path

    if (how.layer) {
        if (words.size() < (with_ids ? 4u : 3u)) fail(line.number, "expected 'LoadObjectLayer LAYER [ID] PATH'");
        integer(words[1], line.number, "the layer");
        skip = 2;
    }
    const bool has_id = with_ids && (!how.optional_id || (words.size() > 2 && words[1].size() == 8 &&
                                                           words[1].find_first_not_of("0123456789abcdefABCDEF") ==
                                                               std::string_view::npos));
    if (has_id) {
        if (words.size() <= skip) fail(line.number, "expected the item id after " + std::string(keyword));
        id = hex_id(words[skip], line.number);
        ++skip;
    }
    if (how.naming != Naming::Fixed) {
        const std::string_view rest = rest_after(trim(line.content), skip);
        if (rest.empty()) fail(line.number, "expected a name or path after " + std::string(keyword));
        if (how.naming == Naming::Rest) {
            name = std::string(rest);
        } else {
            std::string_view base = rest.substr(std::min(rest.size(), rest.find_last_of("/\\:") + 1));
            const size_t dot = base.find_last_of('.');
            if (dot != std::string_view::npos && dot > 0) base = base.substr(0, dot);
            name = std::string(base);
            // `LoadObject` loads the whole file and has no layer word.
            if (how.layer) {
                const long layer = integer(words[1], line.number, "the layer");
                if (layer != 1) name += ":Layer" + std::to_string(layer);
            }
        }
    }
    add_declared(line, kind, has_id ? std::optional<ItemIdValue>(id) : std::nullopt, name);
}

// Adds the declared item to the scene, numbering it in file order when the
// file gives no id, and makes it the item the next statements are about.
void Reader::add_declared(const Line &line, ItemKind kind, std::optional<ItemIdValue> stated_id,
                          const std::string &name) {
    if (kind == ItemKind::Bone && !current_object_) fail(line.number, "AddBone comes before any object");
    // Every item costs memory whatever the file spends on it, so a file may
    // add no more items of a kind than an object's id has numbers for, and no
    // more bones to an object than a bone's id has.
    uint32_t &of_kind = declared_of_kind(kind);
    if (of_kind >= kMaxItemsOfAKind)
        fail(line.number, "more than " + std::to_string(kMaxItemsOfAKind) + " " + item_kind_name(kind) +
                              "s; a scene holds at most " + std::to_string(kMaxItemsOfAKind) + " items of a kind");
    if (kind == ItemKind::Bone && bone_counts_[current_object_] >= kMaxBonesPerObject)
        fail(line.number, "more than " + std::to_string(kMaxBonesPerObject) + " bones in the object " +
                              scene_.find(current_object_)->name);
    ItemIdValue id = stated_id.value_or(0);
    if (!stated_id) {
        switch (kind) {
        case ItemKind::Object: id = host_numbering::item_id(host_abi::kIdKindObject, object_count_); break;
        case ItemKind::Light: id = host_numbering::item_id(host_abi::kIdKindLight, light_count_); break;
        case ItemKind::Camera: id = host_numbering::item_id(host_abi::kIdKindCamera, camera_count_); break;
        case ItemKind::Bone: id = host_numbering::bone_id(current_object_, bone_counts_[current_object_]); break;
        }
    }
    if (kind_of(id) != kind)
        fail(line.number, "the id " + format_lws_id(id) + " is not an id of a" +
                              (kind == ItemKind::Object ? "n " : " ") + item_kind_name(kind));
    if (kind == ItemKind::Bone && bone_owner(id) != current_object_)
        fail(line.number, "the bone id " + format_lws_id(id) + " does not belong to the object before it (" +
                              format_lws_id(current_object_) + ")");
    auto earlier = declared_at_.find(id);
    if (earlier != declared_at_.end())
        fail(line.number, "duplicate item id " + format_lws_id(id) + " (first declared at line " +
                              std::to_string(earlier->second) + ")");
    if (!scene_.add_with_id(id, name))
        fail(line.number, "the id " + format_lws_id(id) + " is out of the range this host can hold");
    declared_at_[id] = line.number;

    ++of_kind;
    if (kind == ItemKind::Object) {
        current_object_ = id;
        objects_in_order_.push_back(id);
    }
    if (kind == ItemKind::Bone) ++bone_counts_[current_object_];
    LwsItemRecord record;
    record.id = id;
    record.line = line.number;
    doc_.items.push_back(std::move(record));
    record_ = doc_.items.size() - 1;
    declaration_end_ = header_end_ = line.end;
    header_open_ = true;
}

// How many items of the kind the file has declared so far.
uint32_t &Reader::declared_of_kind(ItemKind kind) {
    switch (kind) {
    case ItemKind::Object: return object_count_;
    case ItemKind::Light: return light_count_;
    case ItemKind::Camera: return camera_count_;
    case ItemKind::Bone: break;
    }
    return bone_count_;
}

void Reader::read_motion(const Line &motion_line) {
    LwsItemRecord &record = current(motion_line, split(trim(motion_line.content))[0]);
    if (!record.envelopes.empty()) fail(motion_line.number, "this item already has a motion");
    Line line = expect_line("'NumChannels'");
    auto words = split(trim(line.content));
    if (words.size() != 2 || words[0] != "NumChannels") fail(line.number, "expected 'NumChannels COUNT'");
    const long count = integer(words[1], line.number, "NumChannels");
    if (count < 1 || count > kMotionChannelCount)
        fail(line.number, "expected from 1 to 9 motion channels, found " + std::to_string(count));
    record.channel_count_line = {line.begin, line.end};
    record.channel_count = static_cast<int>(count);
    bool seen[kMotionChannelCount] = {};
    for (long i = 0; i < count; ++i) {
        line = expect_line("'Channel' (" + std::to_string(count - i) + " of " + std::to_string(count) +
                           " channels still to come)");
        words = split(trim(line.content));
        if (words.size() != 2 || words[0] != "Channel")
            fail(line.number, "expected 'Channel N': NumChannels says " + std::to_string(count) + " but only " +
                                  std::to_string(i) + " follow");
        const long channel = integer(words[1], line.number, "the channel");
        if (channel < 0 || channel >= count) fail(line.number, "expected a channel from 0 to " + std::to_string(count - 1));
        if (seen[channel]) fail(line.number, "channel " + std::to_string(channel) + " appears twice");
        seen[channel] = true;
        const Line open = expect_line("'{ Envelope'");
        if (trim(open.content) != "{ Envelope") fail(open.number, "expected '{ Envelope' after 'Channel'");
        read_envelope(open, static_cast<int>(channel));
    }
    end_motion(record);
}

void Reader::end_motion(LwsItemRecord &record) {
    motion_end_ = record.motion_end = pos_;
    // Layout leaves a blank line after the motion; statements we add go after it.
    if (pos_ < text_.size()) {
        const size_t nl = text_.find(eol_, pos_);
        const std::string_view next =
            trim(std::string_view(text_).substr(pos_, (nl == std::string::npos ? text_.size() : nl) - pos_));
        if (next.empty() && nl != std::string::npos) motion_end_ = nl + 1;
    }
}

// `ObjectMotion (unnamed)` and the number of channels, then the keys in the
// version's layout and a behaviour line. Angles are in degrees.
void Reader::read_old_motion(const Line &motion_line) {
    LwsItemRecord &record = current(motion_line, split(trim(motion_line.content))[0]);
    if (!record.envelopes.empty()) fail(motion_line.number, "this item already has a motion");
    const Line line = expect_line("the number of channels of the motion");
    const long count = integer(trim(line.content), line.number, "the number of channels");
    if (count < 1 || count > kMotionChannelCount)
        fail(line.number, "expected from 1 to 9 motion channels, found " + std::to_string(count));
    record.old_motion_head = {motion_line.begin, line.end};
    record.channel_count = static_cast<int>(count);
    if (doc_.version == 1)
        read_shared_keys(record, static_cast<int>(count));
    else
        read_channel_lists(record, static_cast<int>(count));
    record.old_motion = {motion_line.begin, pos_};
    end_motion(record);
}

double old_channel_value(double value, int channel) {
    return channel >= kHeading && channel <= kBank ? value * (kPi / 180.0) : value;
}

// LWSC 1: a key count, then per key a line of every channel's value and a line
// `FRAME LINEAR TENSION CONTINUITY BIAS`, then `EndBehavior N`.
void Reader::read_shared_keys(LwsItemRecord &record, int channels) {
    record.layout = LwsMotionLayout::SharedKeys;
    Item &item = *scene_.find(record.id);
    const Line count_line = expect_line("the key count of the motion");
    const long keys = key_count(trim(count_line.content), count_line.number);
    for (int c = 0; c < channels; ++c) {
        LwsEnvelopeRecord env;
        env.channel = c;
        env.open_line = {count_line.begin, count_line.end};
        env.indent = std::string(count_line.content.substr(0, count_line.content.find_first_not_of(" \t")));
        record.envelopes.push_back(std::move(env));
    }
    double last_frame = 0;
    for (long k = 0; k < keys; ++k) {
        const std::string which = "key " + std::to_string(k + 1) + " of " + std::to_string(keys);
        const Line values = expect_line("the channel values of " + which);
        const auto v = split(trim(values.content));
        if (v.size() != static_cast<size_t>(channels))
            fail(values.number, "expected " + std::to_string(channels) + " channel values for " + which + ", found " +
                                    std::to_string(v.size()) + " words");
        const Line frame_line = expect_line("'FRAME LINEAR TENSION CONTINUITY BIAS' of " + which);
        const auto f = split(trim(frame_line.content));
        if (f.size() != 5) fail(frame_line.number, "expected 'FRAME LINEAR TENSION CONTINUITY BIAS' for " + which);
        const double frame = number(f[0], frame_line.number, "the key's frame");
        const long linear = integer(f[1], frame_line.number, "the key's linear flag");
        if (linear != 0 && linear != 1) fail(frame_line.number, "expected a linear flag of 0 or 1");
        double tcb[3];
        for (int i = 0; i < 3; ++i) tcb[i] = number(f[2 + i], frame_line.number, "the key's tension, continuity or bias");
        if (k > 0 && frame < last_frame)
            fail(frame_line.number, "expected keys in increasing frames; this key is before the one before it");
        last_frame = frame;
        for (int c = 0; c < channels; ++c) {
            const double value = old_channel_value(number(v[c], values.number, "a channel value"), c);
            // Seconds once the frame rate is known, at the end of the file.
            Envelope &envelope = item.channel(static_cast<MotionChannel>(c)).envelope;
            EnvelopeKey *key = envelope.append_key(frame, value);
            envelope.set_shape(key, linear ? KeyShape::Linear : KeyShape::Tcb);
            envelope.set_tension(key, tcb[0]);
            envelope.set_continuity(key, tcb[1]);
            envelope.set_bias(key, tcb[2]);
            record.envelopes[c].key_lines.push_back({values.begin, frame_line.end});
        }
    }
    Line line;
    if (!peek_line(&line)) return;
    const auto words = split(trim(line.content));
    if (words.empty() || words[0] != "EndBehavior") return;
    next_line(&line);
    if (words.size() != 2) fail(line.number, "expected 'EndBehavior N'");
    const long end = integer(words[1], line.number, "EndBehavior");
    // 0 resets, 1 holds the last value, 2 repeats; before the first key the value holds.
    if (end < 0 || end > 2) fail(line.number, "expected an EndBehavior from 0 to 2");
    for (int c = 0; c < channels; ++c)
        item.channel(static_cast<MotionChannel>(c)).envelope.post_behavior = static_cast<EnvelopeBehavior>(end);
    record.old_behaviors_line = {line.begin, line.end};
}

// LWSC 2: per channel a key count and lines `VALUE SECONDS FLAG TENSION
// CONTINUITY BIAS`, then `Pre/PostBehavior` with a pair for each channel.
void Reader::read_channel_lists(LwsItemRecord &record, int channels) {
    record.layout = LwsMotionLayout::ChannelLists;
    Item &item = *scene_.find(record.id);
    record.old_key_flags.resize(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        const Line count_line = expect_line("the key count of channel " + std::to_string(c));
        const long keys = key_count(trim(count_line.content), count_line.number);
        LwsEnvelopeRecord env;
        env.channel = c;
        env.open_line = {count_line.begin, count_line.end};
        env.indent = std::string(count_line.content.substr(0, count_line.content.find_first_not_of(" \t")));
        Envelope &envelope = item.channel(static_cast<MotionChannel>(c)).envelope;
        double last_time = 0;
        for (long k = 0; k < keys; ++k) {
            const Line line = expect_line("key " + std::to_string(k + 1) + " of " + std::to_string(keys) +
                                          " of channel " + std::to_string(c));
            const auto w = split(trim(line.content));
            if (w.size() != 6) fail(line.number, "expected 'VALUE TIME FLAG TENSION CONTINUITY BIAS'");
            double v[6];
            for (int i = 0; i < 6; ++i) v[i] = number(w[i], line.number, "a key");
            if (k > 0 && v[1] < last_time)
                fail(line.number, "expected keys in increasing time; this key is before the one before it");
            last_time = v[1];
            // The third number was 2 in every file seen, whatever the key's
            // spline; it is kept, and the keys are read as TCB splines.
            EnvelopeKey *key = envelope.append_key(v[1], old_channel_value(v[0], c));
            envelope.set_tension(key, v[3]);
            envelope.set_continuity(key, v[4]);
            envelope.set_bias(key, v[5]);
            env.key_lines.push_back({line.begin, line.end});
            record.old_key_flags[static_cast<size_t>(c)].emplace_back(w[2]);
        }
        env.block = {count_line.begin, pos_};
        record.envelopes.push_back(std::move(env));
    }
    Line line;
    if (!peek_line(&line)) return;
    const auto words = split(trim(line.content));
    if (words.empty() || words[0] != "Pre/PostBehavior") return;
    next_line(&line);
    if (words.size() != 1 + 2 * static_cast<size_t>(channels))
        fail(line.number, "expected 'Pre/PostBehavior' with a pre and a post behavior for each of the " +
                              std::to_string(channels) + " channels");
    // Taken as pairs, channel by channel.
    for (int c = 0; c < channels; ++c)
        read_behaviors(words[1 + 2 * c], words[2 + 2 * c], line.number,
                       item.channel(static_cast<MotionChannel>(c)).envelope);
    record.old_behaviors_line = {line.begin, line.end};
}

// LWSC 1 keys are on frames; the frame rate may come anywhere in the file.
void Reader::frames_to_seconds() {
    for (const LwsItemRecord &record : doc_.items) {
        if (record.layout != LwsMotionLayout::SharedKeys) continue;
        const Item &item = *scene_.find(record.id);
        for (const LwsEnvelopeRecord &env : record.envelopes)
            for (const auto &key : item.channel(static_cast<MotionChannel>(env.channel)).envelope.keys()) {
                key->time /= scene_.frames_per_second;
                if (!std::isfinite(key->time))
                    fail(record.line, "a key's frame is beyond the times this host can hold at " +
                                          format_lws_number(scene_.frames_per_second, 3) + " frames per second");
            }
    }
}

void Reader::read_envelope(const Line &open, int channel) {
    LwsItemRecord &record = doc_.items[*record_];
    Envelope &envelope = scene_.find(record.id)->channel(static_cast<MotionChannel>(channel)).envelope;
    LwsEnvelopeRecord env;
    env.channel = channel;
    env.open_line = {open.begin, open.end};
    Line line = expect_line("the key count of the envelope opened at line " + std::to_string(open.number));
    const std::string_view count_text = trim(line.content);
    env.indent = std::string(line.content.substr(0, line.content.find_first_not_of(" \t")));
    const long declared = key_count(count_text, line.number);
    Line close;
    if (apart_ && find_close(line.end, line.number + 1, declared, &close)) {
        // The keys are read later, beside other envelopes' (read_apart).
        apart_blocks_.push_back({&envelope, *record_, record.envelopes.size(), open, close, line.end, line.number,
                                 declared});
        env.close_line = {close.begin, close.end};
        env.block = {open.begin, close.end};
        record.envelopes.push_back(std::move(env));
        apart_bytes_ += close.begin - line.end;
        pos_ = close.end;
        line_number_ = close.number;
        report_progress();
        return;
    }
    const int count_line = line.number;
    const size_t keys = read_envelope_lines(
        [&](Line *next) {
            if (!next_line(next))
                fail(line_number_, "the file ends early; expected '}' closing the envelope opened at line " +
                                       std::to_string(open.number));
            return trim(next->content) != "}";
        },
        open, channel, line.end, declared, envelope, env, &scene_.find(record.id)->motion_plugins, &line);
    end_envelope(envelope, env, open, line, declared, keys, count_line, &doc_.warnings);
    record.envelopes.push_back(std::move(env));
}

template <class NextLine>
size_t Reader::read_envelope_lines(NextLine &&next, const Line &open, int channel, size_t count_end, long declared,
                                   Envelope &envelope, LwsEnvelopeRecord &env, std::vector<MotionPlugin> *plugins,
                                   Line *line) const {
    // Room for the keys at once, but never more than the rest of the file
    // could hold (a key line takes at least twenty bytes).
    if (declared > 0 && envelope.key_count() == 0)
        envelope.reserve(std::min(static_cast<size_t>(declared), (text_.size() - count_end) / 20 + 1));
    double last_time = 0;
    size_t keys = 0;
    // A plug-in in the block modifies this channel; its lines stay text.
    const size_t plugins_before = plugins ? plugins->size() : 0;
    size_t plugin_closed_at = std::string::npos;
    while (next(line)) {
        std::string_view content = line->content;
        while (!content.empty() && (content.front() == ' ' || content.front() == '\t')) content.remove_prefix(1);
        double v[9];
        // Most lines of a large scene are keys: read in place (blanks after
        // the numbers are the key reader's), and word by word only to say
        // what is wrong with one.
        bool key_line = parse_lws_key_line(content, v);
        if (!key_line) key_line = parse_lws_key_line(content = trim(content), v);
        const auto words = key_line ? std::vector<std::string_view>{} : split(content);
        if (key_line || (!words.empty() && words[0] == "Key")) {
            if (!key_line) {
                if (words.size() != 10)
                    fail(line->number, "expected 'Key VALUE TIME SHAPE' and six parameters, found " +
                                           std::to_string(words.size() - 1) + " numbers");
                for (int i = 0; i < 9; ++i) v[i] = number(words[i + 1], line->number, "a key");
            }
            // A whole number from 0 to 5 (NaN is none).
            if (!(v[2] >= 0 && v[2] <= 5 && v[2] == static_cast<int>(v[2])))
                fail(line->number, "expected a key shape from 0 to 5, found '" + std::string(split(content)[3]) + "'");
            // Keys may share a time (a key moved onto another's), never go back in time.
            if (keys > 0 && v[1] < last_time)
                fail(line->number, "expected keys in increasing time; this key is before the one before it");
            last_time = v[1];
            if (lws_plain_key(v))
                envelope.append_key(v[1], v[0]);
            else
                envelope.append_record(lws_key_from_numbers(v));
            ++keys;
        } else if (!words.empty() && words[0] == "Behaviors") {
            if (words.size() != 3) fail(line->number, "expected 'Behaviors PRE POST'");
            read_behaviors(words[1], words[2], line->number, envelope);
            env.behaviors_line = {line->begin, line->end};
        } else if (!content.empty() && content.front() == '{') {
            fail(line->number, "expected a key, 'Behaviors' or '}' in the envelope opened at line " +
                                   std::to_string(open.number));
        } else if (!words.empty() && words[0] == "Plugin") {
            // Its place among the item's plug-ins needs the file read in order.
            if (!plugins) throw ReadInOrder{};
            plugins->push_back({words.size() > 1 ? std::string(words[1]) : std::string(),
                                words.size() > 3 ? std::string(words[3]) : std::string(), channel, true});
        } else if (!words.empty() && words[0] == "EndPlugin") {
            plugin_closed_at = line->end;
        } else if (plugins && words.size() > 1 && words[0] == "PluginEnabled" && line->begin == plugin_closed_at &&
                   plugins->size() > plugins_before) {
            plugins->back().enabled = words[1] != "0";
        }
        // Other lines are kept as they are.
    }
    return keys;
}

void Reader::end_envelope(const Envelope &envelope, LwsEnvelopeRecord &env, const Line &open, const Line &close,
                          long declared, size_t keys, int count_line, std::vector<std::string> *warnings) const {
    env.close_line = {close.begin, close.end};
    env.block = {open.begin, close.end};
    // Nothing changes the envelope after its block (a channel is read once,
    // its times are seconds already): its fingerprint is taken while its
    // keys are still in the cache.
    env.loaded_key_count = envelope.key_count();
    env.loaded_fingerprint = lws_envelope_fingerprint(envelope, &env.loaded_layout);
    if (static_cast<size_t>(declared) != keys) {
        // A warning read apart would not be in file order among the others.
        if (!warnings) throw ReadInOrder{};
        warnings->push_back(doc_.path + ":" + std::to_string(count_line) + ": the envelope says " +
                            std::to_string(declared) + " keys but holds " + std::to_string(keys) +
                            "; the keys are used");
    }
}

void Reader::finish_item() {
    if (!record_) return;
    LwsItemRecord &record = doc_.items[*record_];
    record.insert_at = pivot_rotation_end_   ? pivot_rotation_end_
                       : pivot_end_          ? pivot_end_
                       : locked_end_         ? locked_end_
                       : motion_end_         ? motion_end_
                                             : declaration_end_;
    record.motion_insert_at = header_end_;
    header_open_ = false;
    motion_end_ = locked_end_ = pivot_end_ = pivot_rotation_end_ = declaration_end_ = 0;
    record_.reset();
}

void Reader::resolve_links() {
    auto where = [&](const PendingLink &link) { return link.line; };
    for (PendingLink &link : pending_) {
        if (link.object_number) {
            const uint32_t n = link.target;
            if (n > objects_in_order_.size())
                fail(where(link), std::string(link.keyword) + " " + std::to_string(n) + " names no object (the scene has " +
                                      std::to_string(objects_in_order_.size()) + ")");
            link.target = objects_in_order_[n - 1];
        }
        if (link.target != 0 && !scene_.find(link.target))
            fail(where(link), "unknown item reference " + format_lws_id(link.target) + ": no item has this id");
        Item &item = *scene_.find(link.item);
        switch (link.slot) {
        case kSlotParent: break;  // below, once every link is known to point somewhere
        case kSlotTarget: item.target = link.target; break;
        case kSlotGoal: item.goal = link.target; break;
        case kSlotPole: item.pole = link.target; break;
        case kSlotPositionItem: item.position_item = link.target; break;
        case kSlotRotationItem: item.rotation_item = link.target; break;
        case kSlotScaleItem: item.scale_item = link.target; break;
        default: break;
        }
    }
    for (const PendingLink &link : pending_) {
        if (link.slot != kSlotParent) continue;
        const std::string refused = scene_.set_parent(link.item, link.target);
        if (!refused.empty())
            fail(where(link), link.object_number ? "ParentObject: " + refused
                                                 : "ParentItem " + format_lws_id(link.target) + ": " + refused);
    }
    if (doc_.version == 1) {
        // LWSC 1 has no controllers for aiming: an item with a target points at it.
        for (LwsItemRecord &record : doc_.items) {
            Item &item = *scene_.find(record.id);
            for (int axis = 0; axis < 2; ++axis)
                if (item.target && !record.slots[kSlotHController + axis].present) item.controllers[axis] = 1;
        }
    }
    if (scene_.frames_per_second > 0) scene_.time /= scene_.frames_per_second;
    for (LwsItemRecord &record : doc_.items) {
        const Item &item = *scene_.find(record.id);
        record.loaded = LwsLinkState{static_cast<const ItemLinks &>(item), (item.flags & host_abi::kItemFlagFullTimeIk) != 0};
        for (LwsEnvelopeRecord &env : record.envelopes) {
            const Envelope &envelope = item.channel(static_cast<MotionChannel>(env.channel)).envelope;
            if (record.layout != LwsMotionLayout::Channels) {
                env.loaded_key_count = envelope.key_count();
                env.loaded_fingerprint = lws_envelope_fingerprint(envelope, &env.loaded_layout);
                env.loaded_keys.reserve(envelope.key_count());
                for (const auto &key : envelope.keys()) env.loaded_keys.push_back(envelope.record(key.get()));
            }
            env.loaded_default = envelope.default_value;
            env.loaded_pre = envelope.pre_behavior;
            env.loaded_post = envelope.post_behavior;
        }
    }
}

// Layout tells items of the same name apart by a number: "Null", "Null (1)", ...
void Reader::name_duplicates() {
    std::map<std::pair<ItemIdValue, std::string>, int> seen;
    for (const LwsItemRecord &record : doc_.items) {
        Item &item = *scene_.find(record.id);
        const ItemIdValue group = item.kind == ItemKind::Bone ? bone_owner(item.id) : static_cast<ItemIdValue>(item.kind);
        const int n = seen[{group, item.name}]++;
        if (n > 0) {
            item.name += " (" + std::to_string(n) + ")";
            item.motion->name = item.name;
        }
    }
}

}  // namespace

bool read_lws_text(std::string text, const std::string &name, Scene *scene, LwsDocument *document,
                   std::string *error, const LwsProgress &progress) {
    Scene fresh;
    LwsDocument doc;
    doc.path = name;
    doc.text = std::move(text);
    try {
        bool in_order = false;
        size_t progress_shown = 0;
        {
            Reader reader(doc.text, fresh, doc, progress, true, 0);
            try {
                reader.read();
            } catch (...) {
                in_order = true;
            }
            progress_shown = reader.progress_shown();
        }
        if (in_order) {
            // Read again line after line: the first error in the file is the
            // one named, and warnings come in the file's order.
            fresh = Scene();
            LwsDocument again;
            again.path = name;
            again.text = std::move(doc.text);
            doc = std::move(again);
            Reader reader(doc.text, fresh, doc, progress, false, progress_shown);
            reader.read();
        }
    } catch (const ParseError &e) {
        *error = name + ":" + std::to_string(e.line) + ": " + e.what;
        return false;
    } catch (const std::bad_alloc &) {
        *error = name + ": the scene is too large to hold in memory";
        return false;
    } catch (const std::exception &e) {
        *error = name + ": the scene could not be read (" + e.what() + ")";
        return false;
    }
    fresh.name = file_name_of(name);
    fresh.filename = name;
    *scene = std::move(fresh);
    *document = std::move(doc);
    return true;
}

bool read_lws_file(const std::string &path, Scene *scene, LwsDocument *document, std::string *error,
                   const LwsProgress &progress) {
    // A folder or a device opens as a stream on some systems and then reports
    // a nonsense size; only a regular file is a scene.
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        *error = path + ": cannot open the file for reading (" + std::strerror(errno) + ")";
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = path + ": is a folder, not a scene file";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = path + ": is not a regular file; expected a scene file";
        return false;
    }
    std::string content;
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) {
        // Say why: no such file, permission denied, ...
        *error = path + ": cannot open the file for reading (" + std::strerror(errno) + ")";
        return false;
    }
    bool read = false;
    try {
        if (static_cast<unsigned long long>(info.st_size) >= content.max_size()) throw std::bad_alloc();
        content.reserve(static_cast<size_t>(info.st_size));
#ifdef __linux__
        // A large file's text in pages of two megabytes where the system
        // allows it: far fewer page faults while it is filled.
        constexpr uintptr_t kHugePage = uintptr_t(1) << 21;
        const uintptr_t first = (reinterpret_cast<uintptr_t>(content.data()) + kHugePage - 1) & ~(kHugePage - 1);
        const uintptr_t last = (reinterpret_cast<uintptr_t>(content.data()) + content.capacity()) & ~(kHugePage - 1);
        if (last > first) ::madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#endif
        // Two megabytes at a time: each piece is still in the cache when the
        // file's bytes are copied over the zeros that growing the text writes.
        const size_t size = static_cast<size_t>(info.st_size);
        read = true;
        while (read && content.size() < size) {
            const size_t at = content.size(), piece = std::min<size_t>(size - at, size_t(1) << 21);
            content.resize(at + piece);
            read = std::fread(&content[at], 1, piece, in) == piece;
        }
        if (!read)
            *error = path + ": reading the file failed (" +
                     (std::ferror(in) ? std::string(std::strerror(errno)) : std::string("it became shorter meanwhile")) + ")";
    } catch (const std::bad_alloc &) {
        *error = path + ": the file is too large to hold in memory";
    }
    std::fclose(in);
    if (!read) return false;
    return read_lws_text(std::move(content), path, scene, document, error, progress);
}

}  // namespace headless
