#include "stream_args.hpp"

#include "args.hpp"
#include "py_ref.hpp"
#include "writer_object.hpp"

namespace qelpy {
namespace {

constexpr const char* kKeys[] = {"name", "data_type", "channel_type"};

// Adds "channels[<position>]: " before the message of a pending argument error.
void name_entry(Py_ssize_t position) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  PyErr_Format(type, "channels[%zd]: %S", position, value);
}

// The positional and keyword arguments add_channel would get for `entry`.
bool entry_arguments(PyObject* entry, PyRef& args, PyRef& kwargs) {
  if (PyDict_Check(entry)) {
    kwargs = PyRef(PyDict_Copy(entry));
    if (!kwargs) return false;
    args = PyRef(PyTuple_New(3));
    if (!args) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
      PyObject* item = PyDict_GetItemString(kwargs.get(), kKeys[i]);
      if (item == nullptr) {
        PyErr_Format(PyExc_TypeError, "missing key '%s'", kKeys[i]);
        return false;
      }
      PyTuple_SetItem(args.get(), i, Py_NewRef(item));
      if (PyDict_DelItemString(kwargs.get(), kKeys[i]) != 0) return false;
    }
    return true;
  }
  if (PyTuple_Check(entry) || PyList_Check(entry)) {
    args = PyRef(PySequence_Tuple(entry));
    return static_cast<bool>(args);
  }
  const PyRef type_name(PyType_GetName(Py_TYPE(entry)));
  if (type_name) {
    PyErr_Format(PyExc_TypeError,
                 "must be a (name, data_type, channel_type) tuple or a dict, not %U",
                 type_name.get());
  }
  return false;
}

bool convert_entry(PyObject* entry, qel::ChannelDef& def) {
  PyRef args, kwargs;
  bool width_given = false;
  if (!entry_arguments(entry, args, kwargs) ||
      !parse_channel_def(args.get(), kwargs.get(), "OOO|$OOOOOOOO:channel", def, width_given)) {
    return false;
  }
  // A string or binary sample is one block, and the field cannot grow later.
  const auto type = def.data_type.id();
  if (!width_given && (type == qel::DataTypeId::String || type == qel::DataTypeId::Binary)) {
    def.size_of_length_value = 4;
  }
  return true;
}

}  // namespace

bool convert_fs_path(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value) && !PyBytes_Check(value) &&
      PyObject_HasAttrString(value, "__fspath__") == 0) {
    raise_wrong_type(name, "str or os.PathLike", value);
    return false;
  }
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(value, &encoded) == 0) return false;
  const PyRef bytes(encoded);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_channels(PyObject* value, std::vector<qel::ChannelDef>& out) {
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyDict_Check(value) ||
      PySequence_Check(value) == 0) {
    raise_wrong_type("channels", "a sequence of channel tuples or dicts", value);
    return false;
  }
  const PyRef entries(PySequence_Tuple(value));
  if (!entries) return false;
  const Py_ssize_t count = PyTuple_Size(entries.get());
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!convert_entry(PyTuple_GetItem(entries.get(), i), out.emplace_back())) {
      name_entry(i);
      return false;
    }
  }
  return true;
}

bool convert_location(PyObject* value, qel::FileInfoDraft& info) {
  if (value == Py_None) return true;
  const bool triple = (PyTuple_Check(value) || PyList_Check(value)) && PySequence_Size(value) == 3;
  if (!triple) {
    raise_wrong_type("location", "a (lat, lon, alt) tuple or None", value);
    return false;
  }
  double position[3] = {};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const PyRef item(PySequence_GetItem(value, i));
    if (!item || !convert_arg(item.get(), "location", position[i])) return false;
  }
  info.latitude = position[0];
  info.longitude = position[1];
  info.altitude = position[2];
  return true;
}

}  // namespace qelpy
