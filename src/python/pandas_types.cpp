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
    BRINDLE_ASSIGN_OR_RETURN(p.series_type, py::maybe_attr(mod.get(), Name::Series));
    BRINDLE_ASSIGN_OR_RETURN(p.frame_type, py::maybe_attr(mod.get(), Name::DataFrame));
    BRINDLE_ASSIGN_OR_RETURN(p.string_dtype, py::maybe_attr(mod.get(), Name::StringDtype));
    BRINDLE_ASSIGN_OR_RETURN(p.na, py::maybe_attr(mod.get(), Name::NA));
    if (!p.series_type || !p.frame_type || !p.string_dtype || !p.na) return std::optional<Pandas>();
    p.module = std::move(mod);
    return std::optional<Pandas>(std::move(p));
}

}  // namespace brindle
