#include "python/utf8.hpp"

#include <cstdint>
#include <cstring>

#include "python/text_forms.hpp"

namespace brindle {

// Bytes of `str` through "surrogatepass", with the ill-formed ones replaced.
Status append_utf8_surrogatepass(PyObject* str, std::string& out) {
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    BRINDLE_FAIL_IF(!bytes);
    append_repaired_utf8(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))),
                         out);
    return Status::success();
}

Status append_utf8(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data != nullptr) {
        out.append(data, static_cast<std::size_t>(size));
        return Status::success();
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return PyError::fetch();
    PyErr_Clear();
    return append_utf8_surrogatepass(str, out);
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p != end) {
        // Labels are mostly ASCII: eight bytes per step until a lead byte.
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (word & 0x8080808080808080u) break;
            p += 8;
        }
        if (p == end) break;
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        // The second byte's range carries the rules against overlong forms
        // (E0, F0), surrogates (ED) and code points past U+10FFFF (F4).
        int tail;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            tail = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            tail = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            tail = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;  // a continuation byte, C0, C1 or F5 and above
        }
        if (end - p <= tail || p[1] < low || p[1] > high) return false;
        for (int k = 2; k <= tail; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += tail + 1;
    }
    return true;
}

PyObject* new_str(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace brindle
