// The brindle extension module: multi-phase initialisation registering Encoder.
#include "lib/encoder.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"

namespace brindle {
namespace {

int brindle_exec(PyObject* module) noexcept {
    return guard_entry<int>(-1, [&]() -> int {
        if (module == nullptr) {
            PyError::fetch().restore();
            return -1;
        }
        if (!PyModule_Check(module)) {
            not_instance_error(module, "module").restore();
            return -1;
        }
        PyObject* type = encoder_type();
        if (type == nullptr) return -1;

        PyObject* s_all = interned(Name::all);
        PyObject* s_Encoder = interned(Name::Encoder);
        if (s_all == nullptr || s_Encoder == nullptr) return -1;
        PyRef all = PyRef::steal(PyObject_GetAttr(module, s_all));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            all = PyRef::steal(PyList_New(0));
            if (!all) return -1;
            if (PyObject_SetAttr(module, s_all, all.get()) < 0) return -1;
        } else if (!PyList_Check(all.get())) {
            not_instance_error(all.get(), "list").restore();
            return -1;
        }
        // A list that refuses the name is a broken invariant; its own error
        // stays attached as the cause.
        if (PyList_Append(all.get(), s_Encoder) < 0) {
            PyError cause = PyError::fetch();
            PyError err = internal_failure("could not append __name__ to __all__");
            PyException_SetCause(err.exc.get(), cause.exc.release());
            std::move(err).restore();
            return -1;
        }
        return PyObject_SetAttr(module, s_Encoder, type);
    });
}

PyModuleDef_Slot brindle_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(brindle_exec)},
    {0, nullptr},
};

PyModuleDef brindle_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "brindle",
    .m_doc = "Parallel label encoding of text columns in NumPy arrays and pandas DataFrames.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = brindle_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace brindle

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brindle(void) {
    return PyModuleDef_Init(&brindle::brindle_module);
}
