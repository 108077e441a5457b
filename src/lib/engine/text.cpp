#include "engine/text.hpp"

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

bool is_valid_utf8(std::string_view bytes) noexcept {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = valid_sequence_length(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

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

void append_shortest_positional(double value, std::string& out) {
    if (std::isnan(value)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    // Scientific form gives the shortest round-trip digits and the exponent:
    // "-d.ddde+XX". Those digits are then placed positionally.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    if (!sci.empty() && sci.front() == '-') {
        out.push_back('-');
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    const std::string_view mantissa = sci.substr(0, e_pos);
    const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
    std::string digits;
    for (char ch : mantissa)
        if (ch != '.') digits.push_back(ch);
    // digits = d1 d2 ... dn with value = 0.d1...dn * 10^(exponent + 1)
    const long point = static_cast<long>(exponent) + 1;  // digits before the decimal point
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (point >= n) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
}

}  // namespace brindle
