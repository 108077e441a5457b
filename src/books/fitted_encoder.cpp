// FittedEncoder: books learned by one fit, kept to code later inputs.
#include "books/fitted_encoder.hpp"

#include <cmath>
#include <memory>
#include <string>

#include "books/categories.hpp"
#include "books/lookup_step.hpp"
#include "python/arr_to_out.hpp"
#include "python/borrow.hpp"
#include "python/driver.hpp"
#include "python/errors.hpp"
#include "python/table_out.hpp"

namespace brindle {
namespace {

struct FittedObject {
    PyObject_HEAD
    std::unique_ptr<FittedBooks> fitted;  // null until fitted
    BorrowFlag borrow_flag;
};

FittedObject* as_fitted(PyObject* self) noexcept { return reinterpret_cast<FittedObject*>(self); }

PyObject* unknown_label_type_ = nullptr;  // process-wide, never released

// Holds the object for reading or writing for the length of a method.
Result<std::unique_ptr<Borrow>> take(PyObject* self, bool writer) {
    FittedObject* obj = as_fitted(self);
    if (!(writer ? Borrow::take_writer(obj->borrow_flag) : Borrow::take_reader(obj->borrow_flag))) {
        PyErr_SetString(PyExc_RuntimeError, writer ? "Already borrowed" : "Already mutably borrowed");
        return PyError::fetch();
    }
    return std::make_unique<Borrow>(obj->borrow_flag, writer);
}

Result<const FittedBooks*> fitted_books(PyObject* self) {
    const FittedBooks* fitted = as_fitted(self)->fitted.get();
    if (fitted == nullptr) {
        PyErr_SetString(PyExc_ValueError, "this FittedEncoder is not fitted yet: call fit() or fit_transform() first");
        return PyError::fetch();
    }
    return fitted;
}

// ---- fit -------------------------------------------------------------------

// Reads and codes X afresh, keeps its books, and builds the coded result
// when `transform` is asked for.
Result<PyRef> fit_impl(PyObject* self, PyObject* x, bool transform) {
    BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/true));
    BRINDLE_ASSIGN_OR_RETURN(DriverResult result, read_input(x, /*may_borrow=*/false, fresh_coding()));
    auto fitted = std::make_unique<FittedBooks>();
    fitted->columns = result.matrix.cols;
    fitted->present = result.books.has_value();
    if (result.books) fitted->books = std::move(*result.books);
    as_fitted(self)->fitted = std::move(fitted);
    if (!transform) return PyRef::borrow(self);
    return build_output(std::move(result.matrix), std::move(result.out), nullptr);
}

PyObject* Fitted_fit(PyObject* self, PyObject* x) {
    return result_entry([&] { return fit_impl(self, x, false); });
}

PyObject* Fitted_fit_transform(PyObject* self, PyObject* x) {
    return result_entry([&] { return fit_impl(self, x, true); });
}

// ---- transform -------------------------------------------------------------

PyError unknown_label_error(const UnknownLabel& miss, const std::string& name) {
    PyRef label = PyRef::steal(
        PyUnicode_DecodeUTF8(miss.label.data(), static_cast<Py_ssize_t>(miss.label.size()), "replace"));
    if (!label) return PyError::fetch();
    const std::string column = name.empty() ? "column " + std::to_string(miss.column)
                                            : "column " + std::to_string(miss.column) + " ('" + name + "')";
    PyRef message = PyRef::steal(PyUnicode_FromFormat("%s, row %zu: the label %R was not seen when the encoder was fitted",
                                                      column.c_str(), miss.row, label.get()));
    if (!message) return PyError::fetch();
    PyRef exc = PyRef::steal(PyObject_CallOneArg(unknown_label_type_, message.get()));
    if (!exc) return PyError::fetch();
    PyRef col = PyRef::steal(PyLong_FromSize_t(miss.column));
    PyRef row = PyRef::steal(PyLong_FromSize_t(miss.row));
    if (!col || !row || PyObject_SetAttrString(exc.get(), "column", col.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "row", row.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "label", label.get()) < 0)
        return PyError::fetch();
    return PyError{std::move(exc)};
}

// "error" or a number: the code of an unknown label, nothing for an error.
Result<std::optional<double>> parse_unknown(PyObject* unknown) {
    if (unknown == nullptr) return std::optional<double>();
    if (PyUnicode_Check(unknown)) {
        if (PyUnicode_CompareWithASCIIString(unknown, "error") == 0) return std::optional<double>();
        PyErr_Format(PyExc_ValueError, "unknown must be 'error' or a number, not %R", unknown);
        return PyError::fetch();
    }
    BRINDLE_ASSIGN_OR_RETURN(const double code, parse_number(unknown, "unknown"));
    return std::optional<double>(code);
}

Result<PyRef> transform_impl(PyObject* self, PyObject* x, PyObject* unknown, PyObject* missing) {
    BRINDLE_ASSIGN_OR_RETURN(std::optional<double> unknown_code, parse_unknown(unknown));
    double missing_value = missing_code();
    if (missing != nullptr) {
        BRINDLE_ASSIGN_OR_RETURN(missing_value, parse_number(missing, "missing"));
    }
    BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/false));
    BRINDLE_ASSIGN_OR_RETURN(const FittedBooks* fitted, fitted_books(self));
    LookupStep step(*fitted, LookupPolicy{missing_value, unknown_code}, unknown_label_error);
    BRINDLE_ASSIGN_OR_RETURN(DriverResult result, read_input(x, /*may_borrow=*/false, step));
    return build_output(std::move(result.matrix), std::move(result.out), nullptr);
}

PyObject* Fitted_transform(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"X", "unknown", "missing", nullptr};
    PyObject* x = nullptr;
    PyObject* unknown = nullptr;
    PyObject* missing = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:transform", const_cast<char**>(keywords), &x, &unknown,
                                     &missing))
        return nullptr;
    return result_entry([&] { return transform_impl(self, x, unknown, missing); });
}

Result<PyRef> inverse_impl(PyObject* self, PyObject* x) {
    BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/false));
    BRINDLE_ASSIGN_OR_RETURN(const FittedBooks* fitted, fitted_books(self));
    const CodeBooks* books = fitted->present ? &fitted->books : nullptr;
    BRINDLE_ASSIGN_OR_RETURN(DriverResult result, read_input(x, result_reads_in_place(books), fresh_coding()));
    result.books.reset();
    return build_output(std::move(result.matrix), std::move(result.out), books);
}

PyObject* Fitted_inverse_transform(PyObject* self, PyObject* x) {
    return result_entry([&] { return inverse_impl(self, x); });
}

// ---- books in and out ------------------------------------------------------

PyObject* Fitted_categories(PyObject* self, PyObject*) {
    return result_entry([&]() -> Result<PyRef> {
        BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/false));
        BRINDLE_ASSIGN_OR_RETURN(const FittedBooks* fitted, fitted_books(self));
        return categories_of(*fitted);
    });
}

Result<PyRef> new_fitted(PyTypeObject* type, std::unique_ptr<FittedBooks> fitted) {
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return PyError::fetch();
    FittedObject* obj = as_fitted(self.get());
    new (&obj->fitted) std::unique_ptr<FittedBooks>(std::move(fitted));
    new (&obj->borrow_flag) BorrowFlag(0);
    return self;
}

PyObject* Fitted_from_categories(PyObject* cls, PyObject* categories) {
    return result_entry([&]() -> Result<PyRef> {
        BRINDLE_ASSIGN_OR_RETURN(FittedBooks books, books_from_categories(categories));
        return new_fitted(reinterpret_cast<PyTypeObject*>(cls), std::make_unique<FittedBooks>(std::move(books)));
    });
}

// Pickled state: None while unfitted, else (categories, whether the fit kept
// books).
PyObject* Fitted_getstate(PyObject* self, PyObject*) {
    return result_entry([&]() -> Result<PyRef> {
        BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/false));
        const FittedBooks* fitted = as_fitted(self)->fitted.get();
        if (fitted == nullptr) return PyRef::borrow(Py_None);
        BRINDLE_ASSIGN_OR_RETURN(PyRef categories, categories_of(*fitted));
        PyRef state = PyRef::steal(Py_BuildValue("(OO)", categories.get(), fitted->present ? Py_True : Py_False));
        if (!state) return PyError::fetch();
        return state;
    });
}

PyObject* Fitted_setstate(PyObject* self, PyObject* state) {
    return result_entry([&]() -> Result<PyRef> {
        std::unique_ptr<FittedBooks> fitted;
        if (state != Py_None) {
            PyObject* categories = nullptr;
            int present = 1;
            if (!PyArg_ParseTuple(state, "Op:__setstate__", &categories, &present)) return PyError::fetch();
            BRINDLE_ASSIGN_OR_RETURN(FittedBooks books, books_from_categories(categories));
            books.present = present != 0;
            fitted = std::make_unique<FittedBooks>(std::move(books));
        }
        BRINDLE_ASSIGN_OR_RETURN(std::unique_ptr<Borrow> held, take(self, /*writer=*/true));
        as_fitted(self)->fitted = std::move(fitted);
        return PyRef::borrow(Py_None);
    });
}

// ---- attributes, comparison, lifetime --------------------------------------

PyObject* Fitted_get_n_columns(PyObject* self, void*) {
    const FittedBooks* fitted = as_fitted(self)->fitted.get();
    if (fitted == nullptr) Py_RETURN_NONE;
    return PyLong_FromSize_t(fitted->columns);
}

PyObject* Fitted_get_text_columns(PyObject* self, void*) {
    const FittedBooks* fitted = as_fitted(self)->fitted.get();
    const std::size_t n = fitted == nullptr ? 0 : fitted->books.text_columns.size();
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i != n; ++i) {
        PyObject* c = PyLong_FromSize_t(fitted->books.text_columns[i]);
        if (c == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), c);
    }
    return tuple.release();
}

PyObject* Fitted_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != Py_TYPE(a)) Py_RETURN_NOTIMPLEMENTED;
    const FittedBooks* x = as_fitted(a)->fitted.get();
    const FittedBooks* y = as_fitted(b)->fitted.get();
    const bool equal = (x == nullptr || y == nullptr) ? x == y : same_books(*x, *y);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* Fitted_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static char* no_keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":FittedEncoder", no_keywords)) return nullptr;
    return result_entry([&] { return new_fitted(type, nullptr); });
}

void Fitted_dealloc(PyObject* self) {
    FittedObject* obj = as_fitted(self);
    obj->fitted.~unique_ptr();
    obj->borrow_flag.~atomic();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#define BRINDLE_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef Fitted_methods[] = {
    {"fit", BRINDLE_METHOD(Fitted_fit), METH_O,
     "fit($self, X, /)\n--\n\nLearns the books of X's text columns as encode() makes them; returns self."},
    {"fit_transform", BRINDLE_METHOD(Fitted_fit_transform), METH_O,
     "fit_transform($self, X, /)\n--\n\nfit(X), returning the codes: those of Encoder().encode(X)."},
    // inspect reads a default only as a literal or an expression of literals:
    // 1e999-1e999 is its way to a float NaN (shown as missing=nan).
    {"transform", BRINDLE_METHOD(Fitted_transform), METH_VARARGS | METH_KEYWORDS,
     "transform($self, X, /, *, unknown='error', missing=1e999-1e999)\n--\n\n"
     "Codes X with the books of the fit. A label the fit did not see raises\n"
     "UnknownLabelError, or takes the code `unknown`; missing-value markers take `missing`."},
    {"inverse_transform", BRINDLE_METHOD(Fitted_inverse_transform), METH_O,
     "inverse_transform($self, X, /)\n--\n\nLabels in place of codes, as Encoder.decode() gives them."},
    {"categories", BRINDLE_METHOD(Fitted_categories), METH_NOARGS,
     "categories($self, /)\n--\n\nPer column: None for a column of numbers, else its labels in code order."},
    {"from_categories", BRINDLE_METHOD(Fitted_from_categories), METH_O | METH_CLASS,
     "from_categories($type, categories, /)\n--\n\n"
     "A fitted encoder from one entry per column: None, or labels in code order."},
    {"__getstate__", BRINDLE_METHOD(Fitted_getstate), METH_NOARGS, nullptr},
    {"__setstate__", BRINDLE_METHOD(Fitted_setstate), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Fitted_getset[] = {
    {"n_columns", Fitted_get_n_columns, nullptr, "The column count of the fit; None while unfitted.", nullptr},
    {"text_columns", Fitted_get_text_columns, nullptr, "The positions of the columns coded by a book.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kFittedDoc[] =
    "FittedEncoder()\n--\n\n"
    "Codes text columns with books learned once: fit() on one input, then\n"
    "transform() any later input of the same columns with the same codes.";

PyType_Slot Fitted_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFittedDoc)},
    {Py_tp_new, reinterpret_cast<void*>(Fitted_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Fitted_dealloc)},
    {Py_tp_methods, Fitted_methods},
    {Py_tp_getset, Fitted_getset},
    {Py_tp_richcompare, reinterpret_cast<void*>(Fitted_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec Fitted_spec = {
    .name = "brindle_books.FittedEncoder",
    .basicsize = static_cast<int>(sizeof(FittedObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = Fitted_slots,
};

}  // namespace

Result<double> parse_number(PyObject* value, const char* name) {
    if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) {
        PyErr_Format(PyExc_TypeError, "%s must be a float or an int, not %s", name, Py_TYPE(value)->tp_name);
        return PyError::fetch();
    }
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return PyError::fetch();
    return v;
}

Result<PyRef> new_fitted_encoder(FittedBooks books) {
    PyObject* type = fitted_encoder_type();
    if (type == nullptr) return PyError::fetch();
    return new_fitted(reinterpret_cast<PyTypeObject*>(type), std::make_unique<FittedBooks>(std::move(books)));
}

PyObject* fitted_encoder_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&Fitted_spec);
    return type;
}

PyObject* unknown_label_error_type() noexcept {
    if (unknown_label_type_ == nullptr) {
        unknown_label_type_ = PyErr_NewExceptionWithDoc(
            "brindle_books.UnknownLabelError",
            "Raised by FittedEncoder.transform for a label the fit did not see.\n\n"
            "Its attributes name the first such cell: column and row (positions)\n"
            "and label (the cell's text).",
            PyExc_ValueError, nullptr);
    }
    return unknown_label_type_;
}

}  // namespace brindle
