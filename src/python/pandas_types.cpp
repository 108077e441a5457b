#include "python/pandas_types.hpp"

#include "python/interned.hpp"

namespace brindle {

Result<std::optional<Pandas>> imported_pandas() {
    PyObject* name = interned(Name::pandas);
    BRINDLE_FAIL_IF(name == nullptr);
    PyRef mod = PyRef::steal(PyImport_GetModule(name));
    if (!mod) {
        BRINDLE_FAIL_IF(PyErr_Occurred());
        return std::optional<Pandas>();
    }
    // Something else under the name (None blocks the import): not pandas.
    if (!PyModule_Check(mod.get())) return std::optional<Pandas>();
    Pandas p;
    // A module without these names is not the pandas this reads.
    const auto get = [&](PyRef& out, Name name) -> Status {
        out = PyRef::steal(get_attr(mod.get(), name));
        if (!out && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
        else BRINDLE_FAIL_IF(!out);
        return Status::success();
    };
    BRINDLE_TRY_STATUS(get(p.series_type, Name::Series));
    BRINDLE_TRY_STATUS(get(p.frame_type, Name::DataFrame));
    BRINDLE_TRY_STATUS(get(p.string_dtype, Name::StringDtype));
    BRINDLE_TRY_STATUS(get(p.na, Name::NA));
    if (!p.series_type || !p.frame_type || !p.string_dtype || !p.na) return std::optional<Pandas>();
    p.module = std::move(mod);
    return std::optional<Pandas>(std::move(p));
}

}  // namespace brindle
