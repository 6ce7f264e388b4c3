#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "args.hpp"
#include "array_args.hpp"
#include "boundary.hpp"
#include "error.hpp"
#include "numpy_include.hpp"
#include "numpy_types.hpp"
#include "py_ref.hpp"
#include "qel/data_channel.hpp"
#include "sequence_args.hpp"

namespace qelpy {

// The sample methods shared by WriterBuilder and StreamWriter: the same
// argument conversion, checks and messages, in the same order. `Target`
// says how a method reaches its core object:
//   Target::open(self): the core object, or nullptr with an exception set
//     (a consumed builder, a closed stream);
//   Target::run(self, call): runs call(core) and returns its qel::Status,
//     or nullptr with an exception set.
namespace samples {

using Timestamps = std::span<const std::int64_t>;

// Python's result of an add_* method: None, or QelError for a core failure.
inline PyObject* done(qel::Status status) {
  if (!status) return convert_error(std::move(status).error());
  return Py_NewRef(Py_None);
}

// The array if it is one `ndim`-dimensional array of `type`, else ValueError
// with `message`; nullptr with an error set otherwise.
inline PyRef checked_array(PyObject* object, int type, int ndim, const char* message) {
  if (!is_array_of(object, type, ndim)) {
    PyErr_SetString(PyExc_ValueError, message);
    return PyRef();
  }
  return readable_array(object);
}

inline PyRef checked_timestamps(PyObject* object) {
  return checked_array(object, NPY_INT64, 1, "timestamps_ns must be a 1D int64 numpy array");
}

// Arguments shared by the timestamped methods: the channel, then the two
// samples arguments unconverted.
inline bool unpack_samples(PyObject* args, PyObject* kwargs, const char* format,
                           const char* values_name, std::uint16_t& channel, PyObject*& timestamps,
                           PyObject*& values) {
  const char* const names[] = {"channel", "timestamps_ns", values_name, nullptr};
  PyObject* channel_arg = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &channel_arg,
                                     &timestamps, &values) &&
         convert_arg(channel_arg, "channel", channel);
}

template <class Target>
PyObject* add_equidistant_segment(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"channel", "start_ns", "sample_rate_hz", "values", nullptr};
    PyObject *channel_arg = nullptr, *start_arg = nullptr, *rate_arg = nullptr, *values = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:add_equidistant_segment", keywords(names),
                                     &channel_arg, &start_arg, &rate_arg, &values)) {
      return nullptr;
    }
    std::uint16_t channel = 0;
    std::int64_t start_ns = 0;
    double rate = 0.0;
    if (!convert_arg(channel_arg, "channel", channel) ||
        !convert_arg(start_arg, "start_ns", start_ns) ||
        !convert_arg(rate_arg, "sample_rate_hz", rate) || Target::open(self) == nullptr) {
      return nullptr;
    }
    const bool is_double = is_array_of(values, NPY_FLOAT64, 1);
    if (!is_double && !is_array_of(values, NPY_FLOAT32, 1)) {
      PyErr_SetString(PyExc_ValueError,
                      "add_equidistant_segment expects a 1D float32 or float64 numpy array");
      return nullptr;
    }
    const PyRef array = readable_array(values);
    if (!array) return nullptr;
    return Target::run(self, [&](auto& core) {
      return is_double ? core.add_equidistant_segment_f64(channel, start_ns,
                                                          array_elements<double>(array.get()), rate)
                       : core.add_equidistant_segment_f32(channel, start_ns,
                                                          array_elements<float>(array.get()), rate);
    });
  });
}

template <class Core, class T>
qel::Status add_typed(Core& core, std::uint16_t channel, Timestamps timestamps, PyObject* values) {
  return core.template add_timestamped_samples<T>(channel, timestamps, array_elements<T>(values));
}

template <class Core>
struct TypedAdd {
  int npy_type;
  qel::Status (*add)(Core&, std::uint16_t, Timestamps, PyObject*);
};

template <class Core, class... T>
constexpr std::array<TypedAdd<Core>, sizeof...(T)> typed_adds(TypeList<T...>) {
  return {{{kNpyType<T>, add_typed<Core, T>}...}};
}

// Tried in this order; the first exact match wins.
template <class Core>
constexpr auto kTypedAdds = typed_adds<Core>(ScalarSampleTypes{});

template <class Target>
PyObject* add_timestamped_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::uint16_t channel = 0;
    PyObject *timestamps_arg = nullptr, *values = nullptr;
    if (!unpack_samples(args, kwargs, "OOO:add_timestamped_samples", "values", channel,
                        timestamps_arg, values) ||
        Target::open(self) == nullptr) {
      return nullptr;
    }
    const PyRef timestamps = checked_timestamps(timestamps_arg);
    if (!timestamps) return nullptr;
    using Core = typename Target::Core;
    for (const TypedAdd<Core>& typed : kTypedAdds<Core>) {
      if (!is_array_of(values, typed.npy_type, 1)) continue;
      const PyRef array = readable_array(values);
      if (!array) return nullptr;
      return Target::run(self, [&](Core& core) {
        return typed.add(core, channel, array_elements<std::int64_t>(timestamps.get()),
                         array.get());
      });
    }
    PyErr_SetString(PyExc_ValueError,
                    "add_timestamped_samples expects a 1D numeric numpy array (bool, int8..int64, "
                    "uint8..uint64, float32, or float64)");
    return nullptr;
  });
}

template <class Target>
PyObject* add_gps_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::uint16_t channel = 0;
    PyObject *timestamps_arg = nullptr, *positions_arg = nullptr;
    if (!unpack_samples(args, kwargs, "OOO:add_gps_samples", "positions", channel, timestamps_arg,
                        positions_arg) ||
        Target::open(self) == nullptr) {
      return nullptr;
    }
    const PyRef timestamps = checked_timestamps(timestamps_arg);
    if (!timestamps) return nullptr;
    const bool rows_of_three = is_array_of(positions_arg, NPY_FLOAT64, 2) &&
                               PyArray_DIM(reinterpret_cast<PyArrayObject*>(positions_arg), 1) == 3;
    if (!rows_of_three) {
      PyErr_SetString(PyExc_ValueError, "positions must be a (n, 3) float64 numpy array");
      return nullptr;
    }
    const PyRef positions = readable_array(positions_arg);
    if (!positions) return nullptr;
    return Target::run(self, [&](auto& core) {
      return core.template add_timestamped_samples<qel::GpsPoint>(
          channel, array_elements<std::int64_t>(timestamps.get()),
          array_elements<qel::GpsPoint>(positions.get()));
    });
  });
}

// The shared body of the string and binary methods: the values are converted
// with the arguments, then the open check, the timestamps, the core call.
template <class Target, class ValuesArg, class Call>
PyObject* add_variable_samples(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                               Call call) {
  return guarded([&]() -> PyObject* {
    std::uint16_t channel = 0;
    PyObject *timestamps_arg = nullptr, *values_arg = nullptr;
    ValuesArg values;
    if (!unpack_samples(args, kwargs, format, "values", channel, timestamps_arg, values_arg) ||
        !values.convert(values_arg, "values") || Target::open(self) == nullptr) {
      return nullptr;
    }
    const PyRef timestamps = checked_timestamps(timestamps_arg);
    if (!timestamps) return nullptr;
    return Target::run(self, [&](auto& core) {
      return call(core, channel, array_elements<std::int64_t>(timestamps.get()), values.views());
    });
  });
}

template <class Target>
PyObject* add_string_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_variable_samples<Target, StringsArg>(
      self, args, kwargs, "OOO:add_string_samples",
      [](auto& core, std::uint16_t channel, Timestamps timestamps, auto values) {
        return core.add_string_samples(channel, timestamps, values);
      });
}

template <class Target>
PyObject* add_binary_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return add_variable_samples<Target, BinariesArg>(
      self, args, kwargs, "OOO:add_binary_samples",
      [](auto& core, std::uint16_t channel, Timestamps timestamps, auto values) {
        return core.add_binary_samples(channel, timestamps, values);
      });
}

}  // namespace samples
}  // namespace qelpy
