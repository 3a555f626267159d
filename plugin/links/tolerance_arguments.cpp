#include "tolerance_arguments.h"

#include <cstdlib>

namespace {

// Longer than any three numbers a person types; what goes past it is not read.
constexpr int kMostCharacters = 256;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

ToleranceArguments read_tolerance_arguments(const char *text, MotionTolerance *tolerance) {
    if (!text) return ToleranceArguments::kNone;
    // Words, each copied out so the number reader stops at its end.
    constexpr int kMostWords = 3;
    char words[kMostWords][kMostCharacters + 1];
    int lengths[kMostWords] = {0, 0, 0};
    int count = 0;
    int read = 0;
    for (const char *at = text; *at; ++at) {
        if (++read > kMostCharacters) return ToleranceArguments::kNotUnderstood;
        if (is_space(*at)) continue;
        if (at != text && !is_space(at[-1]) && count > 0) {
            words[count - 1][lengths[count - 1]++] = *at;
            continue;
        }
        if (count == kMostWords) return ToleranceArguments::kNotUnderstood;
        words[count][0] = *at;
        lengths[count++] = 1;
    }
    if (count == 0) return ToleranceArguments::kNone;
    for (int i = 0; i < count; ++i) words[i][lengths[i]] = '\0';
    if (count == 1 && (words[0][0] == 'o' || words[0][0] == 'O') && (words[0][1] == 'f' || words[0][1] == 'F') &&
        (words[0][2] == 'f' || words[0][2] == 'F') && words[0][3] == '\0')
        return ToleranceArguments::kOff;
    double values[kMostWords] = {0.0, kDefaultToleranceDegrees, kDefaultScaleTolerancePercent};
    for (int i = 0; i < count; ++i) {
        char *end = nullptr;
        values[i] = std::strtod(words[i], &end);
        if (end == words[i] || *end != '\0' || !usable_tolerance_value(values[i]))
            return ToleranceArguments::kNotUnderstood;
    }
    *tolerance = MotionTolerance{true, values[0], values[1], values[2]};
    return ToleranceArguments::kSet;
}
