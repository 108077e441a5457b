// The brindle extension module: multi-phase initialisation registering Encoder.
#include "encoder.hpp"
#include "errors.hpp"

namespace brindle {
namespace {

int brindle_exec(PyObject* module) noexcept {
    return guard_entry<int>(-1, [&]() -> int {
        if (module == nullptr) {
            PyError::fetch().restore();
            return -1;
        }
        if (!PyModule_Check(module)) {
            PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(module)));
            if (qualname) {
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                             "module");
            }
            return -1;
        }
        PyObject* type = encoder_type();
        if (type == nullptr) return -1;

        PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            all = PyRef::steal(PyList_New(0));
            if (!all) return -1;
            if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
        } else if (!PyList_Check(all.get())) {
            PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(all.get())));
            if (qualname) {
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                             "list");
            }
            return -1;
        }
        PyRef name = PyRef::steal(PyUnicode_FromString("Encoder"));
        if (!name || PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            internal_failure("could not append __name__ to __all__").restore();
            return -1;
        }
        return PyObject_SetAttrString(module, "Encoder", type);
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
