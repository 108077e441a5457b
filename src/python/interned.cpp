#include "python/interned.hpp"

#include <array>
#include <initializer_list>

namespace brindle {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNames{
#define BRINDLE_NAME_TEXT(identifier, text) text,
    BRINDLE_NAMES(BRINDLE_NAME_TEXT)
#undef BRINDLE_NAME_TEXT
};

std::array<PyObject*, kNames.size()> names{};
std::array<PyObject*, static_cast<std::size_t>(Keywords::count_)> keyword_tuples{};

PyObject* make_tuple(std::initializer_list<Name> members) noexcept {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(members.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (Name member : members) {
        PyObject* s = interned(member);
        if (s == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(s));
    }
    return tuple.release();
}

}  // namespace

PyObject* interned(Name name) noexcept {
    PyObject*& slot = names[static_cast<std::size_t>(name)];
    if (slot == nullptr) slot = PyUnicode_InternFromString(kNames[static_cast<std::size_t>(name)]);
    return slot;
}

PyObject* get_attr(PyObject* obj, Name name) noexcept {
    PyObject* s = interned(name);
    return s == nullptr ? nullptr : PyObject_GetAttr(obj, s);
}

PyObject* keyword_names(Keywords keywords) noexcept {
    PyObject*& slot = keyword_tuples[static_cast<std::size_t>(keywords)];
    if (slot != nullptr) return slot;
    switch (keywords) {
#define BRINDLE_KEYWORDS_TUPLE(identifier, ...) \
    case Keywords::identifier: slot = make_tuple({__VA_ARGS__}); break;
        BRINDLE_KEYWORDS(BRINDLE_KEYWORDS_TUPLE)
#undef BRINDLE_KEYWORDS_TUPLE
        case Keywords::count_: break;
    }
    return slot;
}

namespace py {

Result<PyRef> attr(PyObject* obj, Name name) {
    PyRef out = PyRef::steal(get_attr(obj, name));
    BRINDLE_FAIL_IF(!out);
    return out;
}

Result<PyRef> maybe_attr(PyObject* obj, Name name) {
    PyRef out = PyRef::steal(get_attr(obj, name));
    if (!out) {
        BRINDLE_FAIL_IF(!PyErr_ExceptionMatches(PyExc_AttributeError));
        PyErr_Clear();
    }
    return out;
}

Result<PyRef> call_method(PyObject* obj, Name name) {
    PyObject* s = interned(name);
    BRINDLE_FAIL_IF(s == nullptr);
    PyRef out = PyRef::steal(PyObject_CallMethodNoArgs(obj, s));
    BRINDLE_FAIL_IF(!out);
    return out;
}

Result<PyRef> call_method(PyObject* obj, Name name, PyObject* arg) {
    PyObject* s = interned(name);
    BRINDLE_FAIL_IF(s == nullptr);
    PyRef out = PyRef::steal(PyObject_CallMethodOneArg(obj, s, arg));
    BRINDLE_FAIL_IF(!out);
    return out;
}

}  // namespace py
}  // namespace brindle
