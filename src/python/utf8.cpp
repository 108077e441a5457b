#include "python/utf8.hpp"

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

PyObject* new_str(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

}  // namespace brindle
