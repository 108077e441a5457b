// The brindle extension module: multi-phase initialisation registering Encoder.
#include "lib/encoder.hpp"
#include "python/errors.hpp"
#include "python/interned.hpp"

namespace brindle {
namespace {

// Registers Encoder in the module and in its __all__, made if missing.
Status add_encoder(PyObject* module) {
    if (!PyModule_Check(module)) return not_instance_error(module, "module");
    PyObject* type = encoder_type();
    BRINDLE_FAIL_IF(type == nullptr);
    PyObject* s_all = interned(Name::all);
    PyObject* s_Encoder = interned(Name::Encoder);
    BRINDLE_FAIL_IF(s_all == nullptr || s_Encoder == nullptr);
    BRINDLE_ASSIGN_OR_RETURN(PyRef all, py::maybe_attr(module, Name::all));
    if (!all) {
        all = PyRef::steal(PyList_New(0));
        BRINDLE_FAIL_IF(!all);
        BRINDLE_FAIL_IF(PyObject_SetAttr(module, s_all, all.get()) < 0);
    } else if (!PyList_Check(all.get())) {
        return not_instance_error(all.get(), "list");
    }
    // A list that refuses the name is a broken invariant; its own error
    // stays attached as the cause.
    if (PyList_Append(all.get(), s_Encoder) < 0) {
        PyError cause = PyError::fetch();
        PyError err = internal_failure("could not append __name__ to __all__");
        PyException_SetCause(err.exc.get(), cause.exc.release());
        return err;
    }
    BRINDLE_FAIL_IF(PyObject_SetAttr(module, s_Encoder, type) < 0);
    return Status::success();
}

int brindle_exec(PyObject* module) noexcept {
    return guard_entry<int>(-1, [&]() -> int {
        if (module == nullptr) {
            PyError::fetch().restore();
            return -1;
        }
        Status added = add_encoder(module);
        if (added.ok()) return 0;
        added.take_error().restore();
        return -1;
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

const char* internal_error_name() noexcept { return "brindle.InternalError"; }

}  // namespace brindle

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brindle(void) {
    return PyModuleDef_Init(&brindle::brindle_module);
}
