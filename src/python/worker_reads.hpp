// Every read of a Python object that may run on a worker thread.
//
// NOTE: Worker threads may call only what this header defines, and this
// header calls only the C API names in the allow-list below. A test reads
// the worker-side sources and fails on any other C API name there.
//
// What makes these reads safe off the interpreter's thread:
// - the calling thread holds the interpreter lock for the whole time the
//   workers run and waits for them, so no Python code runs meanwhile and
//   nothing can change the input or its objects;
// - only immutable objects the input keeps alive are read: exact str, float
//   and int objects, bool and None, through fields fixed at creation (type,
//   value, length, kind, character data, digits);
// - nothing here allocates through the interpreter, touches a reference
//   count or the error state, or runs Python code.
// Anything else is not read here: the caller falls back to the scan on the
// interpreter's thread.
//
// Allowed C API names: PyUnicode_CheckExact PyUnicode_IS_COMPACT_ASCII
// PyUnicode_IS_COMPACT PyUnicode_DATA PyUnicode_GET_LENGTH PyUnicode_KIND
// PyFloat_CheckExact PyFloat_AS_DOUBLE PyLong_CheckExact
// PyLong_AsLongLongAndOverflow PyBool_Check Py_None Py_True Py_False PyObject
// PyASCIIObject
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "python/label_store.hpp"
#include "python/pyref.hpp"
#include "python/text_forms.hpp"

namespace brindle {

// What a cell is to a column that holds no text yet, for the kinds read
// without running Python code.
enum class CellKind { Number, Text, NeedsCode };

// float(item) for the kinds read without Python code; a str or None has no
// float conversion and turns its column to text.
inline CellKind pure_number(PyObject* item, double& value) noexcept {
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
        return CellKind::Number;
    }
    if (PyUnicode_CheckExact(item) || item == Py_None) return CellKind::Text;
    if (PyBool_Check(item)) {
        value = item == Py_True ? 1.0 : 0.0;
        return CellKind::Number;
    }
    if (PyLong_CheckExact(item)) {
        // For an exact int this only reads its digits.
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow == 0) {
            value = static_cast<double>(v);  // rounds to nearest even, as int.__float__ does
            return CellKind::Number;
        }
    }
    return CellKind::NeedsCode;
}

// The object stored in an object array's cell at `address`: a null item
// reads as None, as NumPy reads it.
inline PyObject* object_in_cell(const char* address) noexcept {
    PyObject* item;
    std::memcpy(&item, address, sizeof item);
    return item != nullptr ? item : Py_None;
}

// Asks for the cache lines pure_text reads of a str of up to a few dozen
// characters: its header and the start of its data, which follows the
// header of a compact ASCII str. A hint only: nothing of the object is read
// here, so it holds for any object.
inline void prefetch_cell(const PyObject* item) noexcept {
    const char* at = reinterpret_cast<const char*>(item);
    __builtin_prefetch(at);
    __builtin_prefetch(at + sizeof(PyASCIIObject));
}

// str(item) for the kinds pure_number reads, made without Python code: a
// view into an ASCII str's own data, otherwise a copy kept in `made`.
inline bool pure_text(PyObject* item, LabelStore& made, std::string_view& label) {
    if (PyUnicode_CheckExact(item)) {
        if (PyUnicode_IS_COMPACT_ASCII(item)) {
            label = std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)));
            return true;
        }
        if (!PyUnicode_IS_COMPACT(item)) return false;
        std::string& text = made.make();
        append_utf8_code_points(static_cast<int>(PyUnicode_KIND(item)), PyUnicode_DATA(item),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(item)), text);
        label = text;
        return true;
    }
    if (PyFloat_CheckExact(item)) {
        std::string& text = made.make();
        append_float_repr(PyFloat_AS_DOUBLE(item), text);
        label = text;
        return true;
    }
    if (item == Py_None || item == Py_True || item == Py_False) {
        label = item == Py_None ? "None" : item == Py_True ? "True" : "False";
        return true;
    }
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow != 0) return false;
        std::string& text = made.make();
        text = std::to_string(v);
        label = text;
        return true;
    }
    return false;
}

// Whether pure_text makes item's text; checked without making it.
inline bool has_pure_text(PyObject* item) noexcept {
    if (PyUnicode_CheckExact(item)) return PyUnicode_IS_COMPACT(item);
    if (PyFloat_CheckExact(item) || item == Py_None || item == Py_True || item == Py_False) return true;
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(item, &overflow);
        return overflow == 0;
    }
    return false;
}

}  // namespace brindle
