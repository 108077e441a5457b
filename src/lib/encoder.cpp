#include "lib/encoder.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "python/arr_to_out.hpp"
#include "python/borrow.hpp"
#include "python/driver.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"

namespace brindle {
namespace {

struct EncoderObject {
    PyObject_HEAD
    std::unique_ptr<CodeBooks> books;  // null until an encode stores some
    BorrowFlag borrow_flag;
};

EncoderObject* as_encoder(PyObject* self) noexcept { return reinterpret_cast<EncoderObject*>(self); }

// ---- argument errors -------------------------------------------------------

PyError type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return PyError::fetch();
}

std::string utf8_or_placeholder(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Matches a keyword name against `param`: by pointer first (names are
// normally interned), then by value.
bool keyword_is(PyObject* name, PyObject* param) {
    if (name == param) return true;
    return PyUnicode_Check(name) && PyUnicode_Compare(name, param) == 0;
}

// Parses (obj) for encode/decode: the borrowed argument, or TypeError.
Result<PyObject*> parse_obj(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* s_obj = interned(Name::obj);
    BRINDLE_FAIL_IF(s_obj == nullptr);
    const auto name = [fname] { return std::string("Encoder.") + fname + "()"; };
    if (nargs > 1) {
        return type_error(name() + " takes 1 positional arguments but " + std::to_string(nargs) +
                          " were given");
    }
    PyObject* obj = nargs == 1 ? args[0] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
        if (!keyword_is(kw, s_obj)) {
            return type_error(name() + " got an unexpected keyword argument '" + utf8_or_placeholder(kw) + "'");
        }
        if (obj != nullptr) return type_error(name() + " got multiple values for argument 'obj'");
        obj = args[nargs + i];
    }
    if (obj == nullptr) return type_error(name() + " missing 1 required positional argument: 'obj'");
    return obj;
}

// ---- slots -----------------------------------------------------------------

// Adds the note "while processing 'encoding'" to `err`; if that fails, the
// error goes on without it.
PyError with_encoding_note(PyError err) {
    PyRef note = PyRef::steal(PyUnicode_FromString("while processing 'encoding'"));
    if (!note) {
        PyErr_Clear();
        return err;
    }
    // A failure to add it is dropped with its own error.
    (void)py::call_method(err.exc.get(), Name::add_note, note.get());
    return err;
}

// Checks the `encoding` argument: None or exactly "label".
Status check_encoding(PyObject* encoding) {
    if (encoding == nullptr || encoding == Py_None) return Status::success();
    if (!PyUnicode_Check(encoding)) return with_encoding_note(not_instance_error(encoding, "str"));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(encoding, &size);
    if (text == nullptr) return with_encoding_note(PyError::fetch());
    if (std::string_view(text, static_cast<std::size_t>(size)) != "label") {
        PyErr_Format(PyExc_ValueError, "%U is not a supported encoding strategy for strings!", encoding);
        return PyError::fetch();
    }
    return Status::success();
}

// Parses (encoding=None) for __new__ and checks it.
Status parse_encoding(PyObject* args, PyObject* kwds) {
    PyObject* s_encoding = interned(Name::encoding);
    BRINDLE_FAIL_IF(s_encoding == nullptr);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        return type_error("Encoder.__new__() takes from 0 to 1 positional arguments but " + std::to_string(nargs) +
                          " were given");
    }
    PyObject* encoding = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    if (kwds != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            if (!keyword_is(key, s_encoding)) {
                return type_error("Encoder.__new__() got an unexpected keyword argument '" +
                                  utf8_or_placeholder(key) + "'");
            }
            if (encoding != nullptr) return type_error("Encoder.__new__() got multiple values for argument 'encoding'");
            encoding = value;
        }
    }
    return check_encoding(encoding);
}

PyObject* Encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        Status parsed = parse_encoding(args, kwds);
        if (!parsed.ok()) {
            parsed.take_error().restore();
            return nullptr;
        }
        PyRef empty = PyRef::steal(PyTuple_New(0));
        if (!empty) return nullptr;
        PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
        if (self == nullptr) return nullptr;
        EncoderObject* enc = as_encoder(self);
        new (&enc->books) std::unique_ptr<CodeBooks>();
        new (&enc->borrow_flag) BorrowFlag(0);
        return self;
    });
}

void Encoder_dealloc(PyObject* self) {
    EncoderObject* enc = as_encoder(self);
    enc->books.~unique_ptr();
    enc->borrow_flag.~atomic();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// encode (writer) and decode (reader): parse, take the object, run the
// driver, store or drop its books, build the result, give the object back.
template <bool Writer>
PyObject* run_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
        Result<PyObject*> parsed = parse_obj(Writer ? "encode" : "decode", args, nargs, kwnames);
        if (!parsed.ok()) {
            parsed.take_error().restore();
            return nullptr;
        }
        PyObject* obj = parsed.value();
        EncoderObject* enc = as_encoder(self);
        if (!(Writer ? Borrow::take_writer(enc->borrow_flag) : Borrow::take_reader(enc->borrow_flag))) {
            PyErr_SetString(PyExc_RuntimeError, Writer ? "Already borrowed" : "Already mutably borrowed");
            return nullptr;
        }
        Borrow held(enc->borrow_flag, Writer);
        Result<DriverResult> driven =
            pyany_to_vec(obj, /*may_borrow=*/result_reads_in_place(Writer ? nullptr : enc->books.get()));
        if (!driven.ok()) {
            driven.take_error().restore();
            return nullptr;
        }
        DriverResult& result = driven.value();
        if constexpr (Writer) {
            // The books are replaced as a whole; a failed allocation keeps the old ones.
            std::unique_ptr<CodeBooks> fresh;
            if (result.books) fresh = std::make_unique<CodeBooks>(std::move(*result.books));
            enc->books = std::move(fresh);
        } else {
            result.books.reset();  // decode never stores what its own coding made
        }
        Result<PyRef> out =
            arr_to_out(std::move(result.matrix), std::move(result.out), Writer ? nullptr : enc->books.get());
        if (!out.ok()) {
            out.take_error().restore();
            return nullptr;
        }
        return std::move(out).value().release();
    });
}

PyObject* Encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method<true>(self, args, nargs, kwnames);
}

PyObject* Encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method<false>(self, args, nargs, kwnames);
}

PyMethodDef Encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kEncoderDoc[] = "Encoder(encoding=None)\n--\n\n";

PyType_Slot Encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEncoderDoc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(Encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Encoder_dealloc)},
    {Py_tp_methods, Encoder_methods},
    {0, nullptr},
};

PyType_Spec Encoder_spec = {
    .name = "builtins.Encoder",
    .basicsize = static_cast<int>(sizeof(EncoderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = Encoder_slots,
};

}  // namespace

PyObject* encoder_type() noexcept {
    // Created once, under the interpreter lock, and never released: every
    // module object of the process registers this same type.
    static PyObject* type = nullptr;
    if (type != nullptr) return type;
    PyObject* created = PyType_FromSpec(&Encoder_spec);
    if (created == nullptr) {
        PyObject* cause = PyError::fetch().exc.release();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", "Encoder");
        PyError err = PyError::fetch();
        PyException_SetContext(err.exc.get(), Py_NewRef(cause));
        PyException_SetCause(err.exc.get(), cause);  // steals
        std::move(err).restore();
        return nullptr;
    }
    if (type == nullptr) {
        type = created;
    } else {
        Py_DECREF(created);
    }
    return type;
}

}  // namespace brindle
