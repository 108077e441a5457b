#include "python/shape.hpp"

#include "python/errors.hpp"
#include "python/interned.hpp"

namespace brindle {

Result<Shape> read_shape(PyObject* obj) {
    PyRef shape = PyRef::steal(get_attr(obj, Name::shape));
    if (!shape) {
        PyErr_Clear();
        return internal_failure("the input has no readable 'shape'");
    }
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        return internal_failure("expected a two-dimensional input: 'shape' is not a pair");
    }
    std::size_t dims[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(shape.get(), i);
        if (!PyLong_Check(item)) return internal_failure("'shape' holds something other than integers");
        const std::size_t value = PyLong_AsSize_t(item);
        if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return internal_failure("'shape' holds a negative or oversized integer");
        }
        dims[i] = value;
    }
    return Shape{dims[0], dims[1]};
}

}  // namespace brindle
