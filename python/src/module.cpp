#include "module.hpp"

#include "classes.hpp"
#include "error.hpp"
#include "file_object.hpp"
#include "numpy_api.hpp"

namespace {

constexpr const char* kVersion = "1.1.0";

PyModuleDef qel_module = {
    PyModuleDef_HEAD_INIT,
    "_qel",
    "Reads and writes QEL stream files.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds a borrowed object under `name`; false with a Python error set.
bool add_object(PyObject* module, const char* name, PyObject* object) {
  return object != nullptr && PyModule_AddObjectRef(module, name, object) == 0;
}

bool register_module_contents(PyObject* module) {
  return PyModule_AddStringConstant(module, "__version__", kVersion) == 0 &&
         add_object(module, "QelError", qelpy::qel_error_type()) &&
         add_object(module, "DataManager", qelpy::data_manager_class()) &&
         add_object(module, "Channel", qelpy::channel_class()) &&
         add_object(module, "Segment", qelpy::segment_class()) &&
         add_object(module, "ReaderStats", qelpy::reader_stats_class()) &&
         add_object(module, "WriterBuilder", qelpy::writer_builder_class()) &&
         add_object(module, "StreamWriter", qelpy::stream_writer_class()) &&
         add_object(module, "File", qelpy::file_class()) &&
         add_object(module, "ChunkIterator", qelpy::chunk_iterator_class()) &&
         PyModule_AddFunctions(module, qelpy::load_function) == 0 &&
         PyModule_AddFunctions(module, qelpy::save_function) == 0 &&
         PyModule_AddFunctions(module, qelpy::open_function) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__qel(void) {
  if (!qelpy::import_numpy()) return nullptr;
  PyObject* module = PyModule_Create(&qel_module);
  if (module == nullptr) return nullptr;
  if (!register_module_contents(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
