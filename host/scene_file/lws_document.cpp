#include "lws_document.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
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

namespace {

#ifdef __SIZEOF_INT128__
// The shortest decimal digits that read back as `value`, and their power of
// ten, the nearest to the value when several are as short (the even one on a
// tie), as the standard library picks them. It steps down from a scale where
// the numbers that read back as the value span several units, dropping a
// digit while a multiple of ten is still among them, with exact integers:
// so only values whose scaled bounds fit 64 bits, from about 5e-10 to 4.5e15
// (where a scene's values lie); false for the others.
bool shortest_digits(double value, uint64_t *digits, int *exponent) {
    static constexpr uint64_t kFives[27] = {
        1ull, 5ull, 25ull, 125ull, 625ull, 3125ull, 15625ull, 78125ull, 390625ull, 1953125ull, 9765625ull,
        48828125ull, 244140625ull, 1220703125ull, 6103515625ull, 30517578125ull, 152587890625ull,
        762939453125ull, 3814697265625ull, 19073486328125ull, 95367431640625ull, 476837158203125ull,
        2384185791015625ull, 11920928955078125ull, 59604644775390625ull, 298023223876953125ull,
        1490116119384765625ull};
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int q = biased - 1075;  // |value| = m * 2^q
    if (biased == 0 || q < -83 || q >= 0) return false;
    const uint64_t m = fraction | (uint64_t{1} << 52);
    const bool accept_bounds = (m & 1) == 0;  // a halfway number reads back as the even neighbour
    // In units of 2^(q-2): the value and the bounds of the numbers that read
    // back as it (the one below is nearer at a power of two).
    const uint64_t mv = 4 * m, mp = 4 * m + 2, mm = 4 * m - (fraction != 0 ? 2 : 1);
    // Scaled by 10^k, between 10^(-q log10 2 + 1) and 10^(-q log10 2 + 2):
    // the bounds are at least seven units apart and below 2^60.
    const int k = ((-q * 78913) >> 18) + 2;  // 78913 / 2^18 is log10 2 from below
    const int shift = 2 - q - k;             // 1 to 59
    bool exact[3];
    uint64_t scaled[3];
    const uint64_t units[3] = {mv, mp, mm};
    for (int i = 0; i < 3; ++i) {
        // 5^k is odd: the product drops no ones when the units have as many trailing zeros as the shift.
        exact[i] = __builtin_ctzll(units[i]) >= shift;
        scaled[i] = static_cast<uint64_t>((static_cast<unsigned __int128>(units[i]) * kFives[k]) >> shift);
    }
    uint64_t vr = scaled[0], vp = scaled[1], vm = scaled[2];
    bool vr_trailing_zeros = exact[0];
    bool vm_trailing_zeros = accept_bounds && exact[2];
    if (!accept_bounds && exact[1]) --vp;  // the upper bound itself reads back as the neighbour
    int removed = 0;
    unsigned last_removed = 0;
    const auto drop_digit = [&] {
        vr_trailing_zeros = vr_trailing_zeros && last_removed == 0;
        last_removed = static_cast<unsigned>(vr % 10);
        vr /= 10;
        vp /= 10;
        vm /= 10;
        ++removed;
    };
    if (vp / 100000000 > vm / 100000000) {  // a value of few digits: eight dropped at once
        vm_trailing_zeros = vm_trailing_zeros && vm % 100000000 == 0;
        vr_trailing_zeros = vr_trailing_zeros && vr % 10000000 == 0;
        last_removed = static_cast<unsigned>(vr / 10000000 % 10);
        vr /= 100000000;
        vp /= 100000000;
        vm /= 100000000;
        removed = 8;
    }
    while (vp / 10 > vm / 10) {
        vm_trailing_zeros = vm_trailing_zeros && vm % 10 == 0;
        drop_digit();
    }
    if (vm_trailing_zeros)
        while (vm % 10 == 0) drop_digit();
    if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;  // a tie goes to the even
    *digits = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
    *exponent = removed - k;
    return true;
}
#endif

}  // namespace

char *write_lws_shortest(char *at, double value) {
    if (value == 0.0) {
        *at = '0';  // no "-0"
        return at + 1;
    }
#ifdef __SIZEOF_INT128__
    uint64_t digits = 0;
    int exponent = 0;
    if (shortest_digits(value, &digits, &exponent)) {
        // Eight digits at a time in 32 bits, two by two: a value has some sixteen.
        static constexpr char kPairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "4041424344454647484950515253545556575859606162636465666768697071727374757677787980"
            "81828384858687888990919293949596979899";
        const auto eight = [](char *to, uint32_t n) {
            const uint32_t high = n / 10000, low = n % 10000;
            std::memcpy(to, kPairs + 2 * (high / 100), 2);
            std::memcpy(to + 2, kPairs + 2 * (high % 100), 2);
            std::memcpy(to + 4, kPairs + 2 * (low / 100), 2);
            std::memcpy(to + 6, kPairs + 2 * (low % 100), 2);
        };
        char text[24];  // digits < 10^18
        eight(text + 16, static_cast<uint32_t>(digits % 100000000));
        const uint64_t above = digits / 100000000;
        eight(text + 8, static_cast<uint32_t>(above % 100000000));
        eight(text, static_cast<uint32_t>(above / 100000000));
        const char *first = text;
        while (*first == '0') ++first;  // digits > 0
        const int count = static_cast<int>(text + sizeof text - first);
        if (value < 0) *at++ = '-';
        // Plain or with an exponent, whichever is shorter, plain on a tie
        // (as printf's %f and %e write them).
        const int scientific = count + (count > 1) + 4;  // "d.ddde-05": exponents here have two digits
        const int plain = exponent >= 0 ? count + exponent : count + exponent > 0 ? count + 1 : 2 - exponent;
        if (plain <= scientific) {
            if (exponent >= 0) {
                std::memcpy(at, first, static_cast<size_t>(count));
                at += count;
                std::memset(at, '0', static_cast<size_t>(exponent));
                return at + exponent;
            }
            const int whole = count + exponent;
            if (whole > 0) {
                std::memcpy(at, first, static_cast<size_t>(whole));
                at += whole;
                *at++ = '.';
                std::memcpy(at, first + whole, static_cast<size_t>(-exponent));
                return at - exponent;
            }
            *at++ = '0';
            *at++ = '.';
            std::memset(at, '0', static_cast<size_t>(-whole));
            at += -whole;
            std::memcpy(at, first, static_cast<size_t>(count));
            return at + count;
        }
        *at++ = first[0];
        if (count > 1) {
            *at++ = '.';
            std::memcpy(at, first + 1, static_cast<size_t>(count - 1));
            at += count - 1;
        }
        const int power = exponent + count - 1;
        *at++ = 'e';
        *at++ = power < 0 ? '-' : '+';
        *at++ = static_cast<char>('0' + std::abs(power) / 10);
        *at++ = static_cast<char>('0' + std::abs(power) % 10);
        return at;
    }
#endif
    return std::to_chars(at, at + 32, value).ptr;
}

void append_lws_shortest(std::string *out, double value) {
    char buffer[32];
    out->append(buffer, write_lws_shortest(buffer, value));
}

void lws_key_numbers(const EnvelopeKey &key, KeyDetails details, double numbers[9]) {
    numbers[0] = key.value;
    numbers[1] = key.time;
    numbers[2] = static_cast<double>(static_cast<int>(details.shape()));
    const KeySettings &settings = details.settings_or_zero();
    if (details.shape() == KeyShape::Bezier2D) {
        // Handles take the first four places; the rest hold nothing the curve uses.
        for (int i = 0; i < 4; ++i) numbers[3 + i] = settings.params[i];
        numbers[7] = settings.bezier_extra[0];
        numbers[8] = settings.bezier_extra[1];
    } else {
        numbers[3] = settings.tension;
        numbers[4] = settings.continuity;
        numbers[5] = settings.bias;
        for (int i = 0; i < 3; ++i) numbers[6 + i] = settings.params[i];
    }
}

void lws_key_numbers(const KeyRecord &key, double numbers[9]) {
    lws_key_numbers(EnvelopeKey{key.time, key.value}, key.details(), numbers);
}

KeyRecord lws_key_from_numbers(const double numbers[9]) {
    KeyRecord key;
    key.value = numbers[0];
    key.time = numbers[1];
    key.shape = static_cast<KeyShape>(static_cast<int>(numbers[2]));
    if (lws_parameters_zero(numbers)) return key;
    KeySettings &settings = key.settings;
    if (key.shape == KeyShape::Bezier2D) {
        for (int i = 0; i < 4; ++i) settings.params[i] = numbers[3 + i];
        settings.bezier_extra[0] = numbers[7];
        settings.bezier_extra[1] = numbers[8];
    } else {
        settings.tension = numbers[3];
        settings.continuity = numbers[4];
        settings.bias = numbers[5];
        for (int i = 0; i < 3; ++i) settings.params[i] = numbers[6 + i];
    }
    return key;
}

namespace {

// Appends the run of digits at `at` to `mantissa` (wrapping past 19 digits,
// which the caller counts) and returns where the run ends. Eight digits at a
// time where eight bytes are left: files keyed on every frame are mostly
// decimals of nine or more digits.
inline const char *append_digits(const char *at, const char *end, uint64_t *mantissa) {
    uint64_t m = *mantissa;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (end - at >= 8) {
        uint64_t word;
        std::memcpy(&word, at, 8);
        // Every byte '0' to '9': high nibble 3, and adding 6 leaves it 3.
        if (((word & 0xF0F0F0F0F0F0F0F0u) | (((word + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4)) !=
            0x3333333333333333u)
            break;
        word -= 0x3030303030303030u;
        word = word * 10 + (word >> 8);  // pairs of digits
        word = (((word & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
                (((word >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
               32;
        m = m * 100000000u + word;
        at += 8;
    }
#endif
    while (at < end && static_cast<unsigned>(*at - '0') < 10) m = m * 10 + static_cast<unsigned>(*at++ - '0');
    *mantissa = m;
    return at;
}

// Plain decimals ("-0.779462566", "12", "0.5") of at most 19 digits whose
// digits fit a double exactly and whose decimal places are at most 22: then
// one division by an exact power of ten gives the correctly rounded number,
// as from_chars would. Anything else (exponents, more digits) returns null.
const char *read_plain_decimal(const char *at, const char *end, double *value) {
    static constexpr double kPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = at < end && *at == '-';
    if (negative) ++at;
    uint64_t mantissa = 0;
    const char *const whole = at;
    at = append_digits(at, end, &mantissa);
    const char *fraction = at;
    if (at < end && *at == '.') {
        fraction = ++at;
        at = append_digits(at, end, &mantissa);
    }
    const long places = at - fraction;
    const long digits = (fraction - whole) + places - (fraction > whole && fraction[-1] == '.');
    // Beyond 19 digits the mantissa may have wrapped: the slow path reads those.
    if (digits == 0 || digits > 19 || mantissa > (uint64_t{1} << 53) || places > 22) return nullptr;
    if (at < end && *at != ' ' && *at != '\t') return nullptr;
    const double magnitude = static_cast<double>(mantissa) / kPowers[places];
    *value = negative ? -magnitude : magnitude;
    return at;
}

}  // namespace

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// The numbers that are neither a single digit nor a plain decimal.
const char *read_other_number(const char *at, const char *end, double *value) {
    const auto result = std::from_chars(at, end, *value);
    const char *word_end = result.ptr;
    if (result.ec != std::errc() || (word_end < end && !blank(*word_end))) {
        // What the C library reads too ("+1", "0x1p-3"), as files from other writers may hold.
        word_end = at;
        while (word_end < end && !blank(*word_end)) ++word_end;
        const std::string copy(at, word_end);
        char *stop = nullptr;
        errno = 0;
        *value = std::strtod(copy.c_str(), &stop);
        if (*stop != '\0' || errno == ERANGE) return nullptr;
    }
    return std::isfinite(*value) ? word_end : nullptr;
}

// Reads the finite number whose word starts at `at`; returns where the word
// ends (a blank or `end`), or null when it is no such number.
inline const char *read_number(const char *at, const char *end, double *value) {
    const char *word_end = at + 1;
    if (*at >= '0' && *at <= '9' && (word_end == end || blank(*word_end))) {
        *value = *at - '0';  // most parameters are a single digit
        return word_end;
    }
    if (const char *stop = read_plain_decimal(at, end, value)) return stop;
    return read_other_number(at, end, value);
}

}  // namespace

const char *read_lws_number(const char *at, const char *end, double *value) { return read_number(at, end, value); }

bool parse_lws_number(std::string_view word, double *value) {
    if (word.empty()) return false;
    const char *end = word.data() + word.size();
    return read_number(word.data(), end, value) == end;
}

bool parse_lws_key_line(std::string_view content, double numbers[9], std::string_view *words) {
    if (content.size() < 4 || content.compare(0, 3, "Key") != 0 || !blank(content[3])) return false;
    const char *at = content.data() + 3, *const end = content.data() + content.size();
    for (int i = 0; i < 9; ++i) {
        // The usual key ends in seven zero parameters: taken at once.
        static constexpr char kZeros[] = " 0 0 0 0 0 0 0";
        if (i == 2 && end - at == sizeof kZeros - 1 && std::memcmp(at, kZeros, sizeof kZeros - 1) == 0) {
            for (int z = 2; z < 9; ++z) {
                numbers[z] = 0.0;
                if (words) words[z] = std::string_view(at + 2 * (z - 2) + 1, 1);
            }
            return true;
        }
        while (at < end && blank(*at)) ++at;
        if (at == end) return false;
        // Most parameters are a single digit: read here, without a call.
        const char *word_end = at + 1;
        if (static_cast<unsigned>(*at - '0') < 10 && (word_end == end || blank(*word_end)))
            numbers[i] = *at - '0';
        else
            word_end = read_number(at, end, &numbers[i]);
        if (!word_end) return false;
        if (words) words[i] = std::string_view(at, static_cast<size_t>(word_end - at));
        at = word_end;
    }
    while (at < end && blank(*at)) ++at;
    return at == end;
}

namespace {

// Cheap per word (a change in any bit changes the running state, and the
// multiply spreads it), with a full mix at the end.
inline uint64_t mix(uint64_t hash, uint64_t word) {
    hash ^= word;
    hash = (hash << 27) | (hash >> 37);
    return hash * 0x9e3779b97f4a7c15ull + 0x632be59bd9b4e019ull;
}

inline uint64_t mix(uint64_t hash, double value) {
    if (value == 0.0) value = 0.0;  // -0 and 0 are the same number
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return mix(hash, bits);
}

uint64_t finish(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t lws_envelope_fingerprint(const Envelope &envelope, uint64_t *layout) {
    // Four running states, so that a key's numbers are mixed side by side
    // rather than one after another; each state alone still shows any one
    // change. A fifth takes the times alone for the layout.
    uint64_t lane[4] = {mix(0, static_cast<uint64_t>(envelope.key_count())), 1, 2, 3};
    uint64_t times = lane[0];
    lane[0] = mix(lane[0], static_cast<uint64_t>(envelope.pre_behavior) * 8 + static_cast<uint64_t>(envelope.post_behavior));
    lane[0] = mix(lane[0], envelope.default_value);
    const KeyList keys = envelope.keys();
    for (size_t k = 0; k < keys.size(); ++k) {
        const EnvelopeKey &key = *keys[k];
        lane[0] = mix(mix(lane[0], key.time), key.value);
        times = mix(times, key.time);
        const KeyDetails details = keys.details(k);
        const KeySettings &s = details.settings_or_zero();
        lane[1] = mix(mix(mix(lane[1], static_cast<uint64_t>(details.shape())), s.tension), s.continuity);
        lane[2] = mix(mix(mix(lane[2], s.bias), s.params[0]), s.params[1]);
        lane[3] = mix(mix(mix(mix(lane[3], s.params[2]), s.params[3]), s.bezier_extra[0]), s.bezier_extra[1]);
    }
    if (layout) *layout = finish(mix(mix(mix(times, lane[1]), lane[2]), lane[3]));
    return finish(mix(mix(mix(lane[0], lane[1]), lane[2]), lane[3]));
}

size_t lws_line_end(const std::string &text, size_t begin, const std::string &line_ending) {
    const size_t at = text.find(line_ending == "\r" ? '\r' : '\n', begin);
    return at == std::string::npos ? text.size() : at + 1;
}

}  // namespace headless
