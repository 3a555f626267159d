#include "lws_document.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace headless {

namespace {

std::string format_with_digits(double value, int digits, bool three_digit_exponent) {
    if (value == 0.0) value = 0.0;  // no "-0"
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
    std::string out = buffer;
    if (three_digit_exponent) {
        // The files of that era come from a C library that always writes three exponent digits.
        const size_t e = out.find('e');
        if (e != std::string::npos && e + 2 < out.size()) {
            const size_t digits_at = e + 2;
            while (out.size() - digits_at < 3) out.insert(digits_at, "0");
        }
    }
    return out;
}

int digits_for(int version) { return version <= 3 ? 8 : version < 8 ? 17 : 20; }

}  // namespace

std::string format_lws_number(double value, int version) {
    if (version <= 1) {
        if (value == 0.0) value = 0.0;
        char buffer[400];
        std::snprintf(buffer, sizeof buffer, value == std::floor(value) && std::fabs(value) < 1e15 ? "%.1f" : "%f", value);
        // A value too small for six decimals is written as the file writes zero, without a sign.
        return std::strspn(buffer, "-0.") == std::strlen(buffer) ? "0.0" : buffer;
    }
    if (version == 2) return format_with_digits(value, 7, false);
    return format_with_digits(value, digits_for(version), version <= 3);
}

std::string format_lws_time(double seconds, int version) {
    if (version == 2) {
        // Seven digits as the version writes them when they hold the time exactly, else as many as it takes.
        for (int digits = 7;; ++digits) {
            const std::string text = format_with_digits(seconds, digits, false);
            if (digits >= 17 || std::strtod(text.c_str(), nullptr) == seconds) return text;
        }
    }
    return format_with_digits(seconds, std::max(17, digits_for(version)), version <= 3);
}

std::string format_lws_id(ItemIdValue id) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", id);
    return buffer;
}

}  // namespace headless
