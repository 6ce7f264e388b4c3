#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "classes.hpp"
#include "error.hpp"
#include "log_bridge.hpp"
#include "writer_object.hpp"

namespace qelpy {
namespace {

qel::Status save_manager(const qel::DataManager& manager, qel::IntegrityProfile integrity,
                         const std::string& path) {
  QEL_ASSIGN_OR_RETURN(qel::WriterBuilder builder, qel::WriterBuilder::from_manager(manager));
  builder.set_integrity(integrity);
  return qel::write_to_file(std::move(builder), path);
}

PyObject* save(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"manager", "path", "integrity", nullptr};
    PyObject *manager_arg = nullptr, *path_arg = nullptr, *integrity_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:save", keywords(names), &manager_arg,
                                     &path_arg, &integrity_arg)) {
      return nullptr;
    }
    const qel::DataManager* manager = data_manager_of(manager_arg);
    if (manager == nullptr) {
      if (!PyErr_Occurred()) raise_wrong_type("manager", "DataManager", manager_arg);
      return nullptr;
    }
    std::string path;
    std::optional<std::string> integrity_text;
    qel::IntegrityProfile integrity = qel::IntegrityProfile::none;
    if (!convert_path(path_arg, "path", path) ||
        !convert_arg(integrity_arg, "integrity", integrity_text) ||
        (integrity_text && !parse_integrity(*integrity_text, integrity))) {
      return nullptr;
    }
    LogBridge log;
    if (!log.prepare()) return nullptr;
    SignalCheck signals;
    qel::Status saved =
        run_released(log, signals, [&] { return save_manager(*manager, integrity, path); });
    if (!log.replay() || signals.raise_caught()) return nullptr;
    if (!saved) return convert_error(std::move(saved).error());
    return Py_NewRef(Py_None);
  });
}

}  // namespace

PyMethodDef save_function[] = {
    {"save", as_method(save), METH_VARARGS | METH_KEYWORDS,
     "save(manager, path, *, integrity=None)\n--\n\n"
     "`qel.save(mgr, path)` — convenience equivalent to\n"
     "`qel_core::writer::write_to_file(&mgr, path)`. Always emits QEL5\n"
     "per DECISIONS §6, even when `mgr` was loaded from an QEL4 source."},
    {},
};

}  // namespace qelpy
