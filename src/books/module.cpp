// The brindle_books extension module: FittedEncoder, whose books outlive
// the call, on the readers and engine of brindle's Encoder.
#include "books/fitted_encoder.hpp"
#include "books/partition_books.hpp"
#include "python/errors.hpp"

namespace brindle {
namespace {

int books_exec(PyObject* module) noexcept {
    return guard_entry<int>(-1, [&]() -> int {
        PyObject* fitted = fitted_encoder_type();
        PyObject* unknown = unknown_label_error_type();
        PyObject* internal = internal_error_type();
        if (fitted == nullptr || unknown == nullptr || internal == nullptr) return -1;
        if (PyModule_AddObjectRef(module, "FittedEncoder", fitted) < 0 ||
            PyModule_AddObjectRef(module, "UnknownLabelError", unknown) < 0 ||
            PyModule_AddObjectRef(module, "InternalError", internal) < 0)
            return -1;
        PyRef all = PyRef::steal(Py_BuildValue("[sss]", "FittedEncoder", "UnknownLabelError", "InternalError"));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot books_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(books_exec)},
    {0, nullptr},
};

PyModuleDef books_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "brindle_books",
    .m_doc = "Text columns coded with books learned once: fit on one input, transform later ones.",
    .m_size = 0,
    .m_methods = partition_books_methods,
    .m_slots = books_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

const char* internal_error_name() noexcept { return "brindle_books.InternalError"; }

}  // namespace brindle

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_brindle_books(void) {
    return PyModuleDef_Init(&brindle::books_module);
}
