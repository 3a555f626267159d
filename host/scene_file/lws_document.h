// A scene file as it was read: its bytes, where each item's statements lie in
// them, and the values the scene had when it was loaded. Saving compares the
// scene with those values and regenerates only what changed; every other byte
// is copied from the original text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/envelope.h"
#include "host/core/scene.h"

namespace headless {

// A range of bytes in the original text; `begin == end` is a position.
struct TextSpan {
    size_t begin = 0;
    size_t end = 0;
};

// One `{ Envelope }` block of a motion channel and the keys it held.
//
// Key parameters: the file's `Key value time shape p1 p2 p3 p4 p5 p6` maps to
// a key's KeySettings as tension/continuity/bias = p1..p3 and params[0..2] = p4..p6
// (p4/p5 are the incoming and outgoing tangents), except for 2D Bezier keys,
// whose handles p1..p4 go to params[0..3] (incoming time and value offsets,
// outgoing time and value offsets) and p5, p6 to bezier_extra.
struct LwsEnvelopeRecord {
    int channel = -1;
    TextSpan block;             // from the `{ Envelope` line to after the `}` line
    std::string indent;         // of the lines inside the block
    // The older layouts only: per loaded key its whole line, and the keys as
    // loaded. A `{ Envelope }` block is read again from the text when it is
    // rewritten, so large scenes hold nothing per key beyond their text.
    std::vector<TextSpan> key_lines;
    std::vector<KeyRecord> loaded_keys;
    TextSpan behaviors_line;              // empty when absent
    TextSpan open_line;                   // the `{ Envelope` line
    TextSpan close_line;                  // the `}` line
    size_t loaded_key_count = 0;
    uint64_t loaded_fingerprint = 0;      // lws_envelope_fingerprint() when loaded
    uint64_t loaded_layout = 0;           // and its layout digest
    double loaded_default = 0.0;  // the channel's value when it has no keys
    EnvelopeBehavior loaded_pre = EnvelopeBehavior::Constant;
    EnvelopeBehavior loaded_post = EnvelopeBehavior::Constant;
};

// The link statements the host may change, in the order they are written.
enum LwsLinkSlot {
    kSlotParent,
    kSlotTarget,
    kSlotHController,
    kSlotPController,
    kSlotBController,
    kSlotGoal,
    kSlotFullTimeIk,
    kSlotPole,
    kSlotPositionItem,
    kSlotRotationItem,
    kSlotScaleItem,
    kSlotCount
};

struct LwsStatementPlace {
    bool present = false;
    TextSpan line;             // the whole line, with its ending
    size_t statement_begin = 0;  // > line.begin when glued behind another statement
};

// What an item's links were when loaded, to tell what the host changed.
struct LwsLinkState : ItemLinks {
    bool full_time_ik = false;
};

// How an item's motion is laid out in the file.
enum class LwsMotionLayout {
    Channels,      // `NumChannels`, then one `Channel n` and `{ Envelope }` block per channel
    SharedKeys,    // LWSC 1: every key holds all channels (degrees, frames) and the item one EndBehavior
    ChannelLists,  // LWSC 2: per channel a key count and `value seconds flag t c b` lines (degrees),
                   // then one Pre/PostBehavior line for all channels
};

struct LwsItemRecord {
    ItemIdValue id = 0;
    int line = 0;  // of the declaration
    // Channels layout: one record per `{ Envelope }` block. The older
    // layouts: one per channel, `open_line` being its key count line (in
    // LWSC 1 shared by all) and `key_lines` its keys (in LWSC 1 the two
    // lines of a key, shared by all); `block`, `behaviors_line` and
    // `close_line` are unused there.
    std::vector<LwsEnvelopeRecord> envelopes;
    LwsMotionLayout layout = LwsMotionLayout::Channels;
    // The older layouts: the whole motion from its `ObjectMotion (unnamed)`
    // line, that line with the values-per-key line after it, and the
    // EndBehavior or Pre/PostBehavior line (empty when absent).
    TextSpan old_motion;
    TextSpan old_motion_head;
    TextSpan old_behaviors_line;
    // LWSC 2: the third number of each key line, kept per channel and key.
    std::vector<std::vector<std::string>> old_key_flags;
    // The item's motion block, when it has one: its `NumChannels` line, the
    // channel count, and where the last channel's envelope ends.
    TextSpan channel_count_line;
    int channel_count = 0;
    size_t motion_end = 0;
    // Where a motion block goes for an item that has none: after the
    // declaration and the name and display lines that follow it.
    size_t motion_insert_at = 0;
    std::array<LwsStatementPlace, kSlotCount> slots;
    // Where a link statement that was absent goes when nothing near it is.
    size_t insert_at = 0;
    LwsLinkState loaded;
};

struct LwsDocument {
    std::string path;
    int version = 0;
    std::string text;              // the whole file as read
    std::string line_ending = "\n";  // of the first line, for lines we add; "\r" for classic Mac files
    std::vector<LwsItemRecord> items;
    std::vector<std::string> warnings;  // "file:line: ..." for oddities that lose nothing
};

// Numbers as the file's version writes them: LWSC 1 with six decimals (whole
// numbers as "1.0"), LWSC 2 with seven significant digits, LWSC 3 with eight
// and a three-digit exponent, LWSC 4 to 7 with seventeen, later twenty.
std::string format_lws_number(double value, int version);
// Key times always keep at least seventeen digits so frame times read back exact.
std::string format_lws_time(double seconds, int version);
// `ParentItem`-style ids: eight lower-case hexadecimal digits.
std::string format_lws_id(ItemIdValue id);
// Appends the shortest text that reads back as `value` ("0" for either zero),
// the text std::to_chars writes.
void append_lws_shortest(std::string *out, double value);
// The same written at `at` (room for 32 bytes); returns where it ends.
char *write_lws_shortest(char *at, double value);

// The nine numbers of a `Key` line in file order (value, time, shape, p1..p6)
// for a key, and the key they stand for; the shape must be 0 to 5.
void lws_key_numbers(const EnvelopeKey &key, KeyDetails details, double numbers[9]);
void lws_key_numbers(const KeyRecord &key, double numbers[9]);
KeyRecord lws_key_from_numbers(const double numbers[9]);
// True when a key line's six parameters are all +0 (all bits clear): the
// key has no settings.
inline bool lws_parameters_zero(const double numbers[9]) {
    uint64_t p[6];
    std::memcpy(p, numbers + 3, sizeof p);
    return (p[0] | p[1] | p[2] | p[3] | p[4] | p[5]) == 0;
}
// True for the usual key's numbers: TCB with no settings, a key that is its
// time and value alone.
inline bool lws_plain_key(const double numbers[9]) { return numbers[2] == 0.0 && lws_parameters_zero(numbers); }
// Reads a `Key` line without its indent and line ending: "Key" and nine
// finite numbers separated by blanks. `words`, when given, gets each number's
// text. False for anything else; the caller then says what is wrong.
bool parse_lws_key_line(std::string_view content, double numbers[9], std::string_view *words = nullptr);
// Reads one number of a `Key` line, as parse_lws_key_line reads each.
bool parse_lws_number(std::string_view word, double *value);
// The same for the word starting at `at` (before `end`): returns where it
// ends (at a blank or `end`), or null when it is no such number.
const char *read_lws_number(const char *at, const char *end, double *value);
// A digest of an envelope's keys and behaviours: equal envelopes have equal
// fingerprints, so one taken at loading tells whether the host changed it.
// Each step is a bijection of the running state, so a change of any one
// number always shows; several at once go unseen with odds of 2^-64.
// `layout`, when given, gets a digest of the same kind of all but the values,
// the behaviours and the unkeyed value: equal layouts mean the keys kept
// their times, shapes and settings.
uint64_t lws_envelope_fingerprint(const Envelope &envelope, uint64_t *layout = nullptr);
// Where the line starting at `begin` ends, after its line ending: "\n" or
// "\r\n", or "\r" alone in files whose lines end so (`line_ending` "\r").
size_t lws_line_end(const std::string &text, size_t begin, const std::string &line_ending);

}  // namespace headless
