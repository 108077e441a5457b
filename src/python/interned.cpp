#include "python/interned.hpp"

#include <array>
#include <initializer_list>

namespace brindle {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Name::count_)> kNames{
    "columns", "shape", "values", "tolist", "DataFrame", "Series",
    "RangeIndex", "index", "add_note", "obj", "encoding", "__all__", "Encoder", "dtype", "copy",
    "pandas", "StringDtype", "NA", "storage", "na_value", "__arrow_c_stream__", "__module__", "to_numpy", "array", "astype", "items", "dtypes",
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
        case Keywords::columns_copy: slot = make_tuple({Name::columns, Name::copy}); break;
        case Keywords::index_copy: slot = make_tuple({Name::index, Name::copy}); break;
        case Keywords::index_dtype_copy: slot = make_tuple({Name::index, Name::dtype, Name::copy}); break;
        case Keywords::count_: break;
    }
    return slot;
}

}  // namespace brindle
