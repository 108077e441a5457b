#include "python/text_forms.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace brindle {
namespace {

// Length of the well-formed UTF-8 sequence starting at bytes[i], or 0.
std::size_t valid_sequence_length(std::string_view bytes, std::size_t i) noexcept {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const std::size_t left = bytes.size() - i;
    const unsigned char b0 = at(i);
    if (b0 < 0x80) return 1;
    const auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return at(k) >= lo && at(k) <= hi;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(i + 1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3) return 0;
        // E0 excludes overlongs, ED excludes the surrogates D800..DFFF.
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        return cont(i + 1, lo, hi) && cont(i + 2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (left < 4) return 0;
        const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return cont(i + 1, lo, hi) && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

}  // namespace

void append_repaired_utf8(std::string_view bytes, std::string& out) {
    out.reserve(out.size() + bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = valid_sequence_length(bytes, i);
        if (n == 0) {
            out.append("\xEF\xBF\xBD");
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
}

namespace {

// The shortest round-trip digits of a finite value and where its decimal
// point goes: |value| = 0.d1d2...dn * 10^point. Appends the sign to `out`.
struct Digits {
    char digits[24];
    int count = 0;
    long point = 0;
};

Digits shortest_digits(double value, std::string& out) {
    // Scientific form gives the shortest round-trip digits and the exponent:
    // "-d.ddde+XX".
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    if (!sci.empty() && sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    Digits d;
    for (char ch : sci.substr(0, e_pos))
        if (ch != '.') d.digits[d.count++] = ch;
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    d.point = static_cast<long>(exponent) + 1;
    return d;
}

// The digits in plain positional notation; with `dot_zero`, a whole number
// ends in ".0".
void append_positional(const Digits& d, bool dot_zero, std::string& out) {
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
    const long n = d.count;
    const long point = d.point;
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (point >= n) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point - n), '0');
        if (dot_zero) out.append(".0");
    } else {
        out.append(digits.substr(0, static_cast<std::size_t>(point)));
        out.push_back('.');
        out.append(digits.substr(static_cast<std::size_t>(point)));
    }
}

}  // namespace

void append_shortest_positional(double value, std::string& out) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    append_positional(shortest_digits(value, out), /*dot_zero=*/false, out);
}

void append_float_repr(double value, std::string& out) {
    if (std::isnan(value)) {
        out.append("nan");  // whatever the sign
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    const Digits d = shortest_digits(value, out);
    const std::string_view digits(d.digits, static_cast<std::size_t>(d.count));
    const long n = d.count;
    const long point = d.point;
    if (point <= -4 || point > 16) {
        // d1[.d2...dn]e<sign><at least two digits>
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits.substr(1));
        }
        const long exponent = point - 1;
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        const long magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out.push_back('0');
        out.append(std::to_string(magnitude));
    } else {
        append_positional(d, /*dot_zero=*/true, out);
    }
}

template <class Unit>
void append_utf8_units(const Unit* units, std::size_t count, std::string& out) {
    bool surrogates = false;
    const std::size_t start = out.size();
    for (std::size_t i = 0; i != count; ++i) {
        const std::uint32_t cp = units[i];
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            surrogates |= cp >= 0xD800 && cp <= 0xDFFF;
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    if (!surrogates) return;
    const std::string encoded = out.substr(start);
    out.resize(start);
    append_repaired_utf8(encoded, out);
}

void append_utf8_code_points(int unit_size, const void* units, std::size_t count, std::string& out) {
    switch (unit_size) {
        case 1: return append_utf8_units(static_cast<const std::uint8_t*>(units), count, out);
        case 2: return append_utf8_units(static_cast<const std::uint16_t*>(units), count, out);
        default: return append_utf8_units(static_cast<const std::uint32_t*>(units), count, out);
    }
}

}  // namespace brindle
