#include <string>

#include "boundary.hpp"
#include "boxed.hpp"
#include "classes.hpp"
#include "qel/error.hpp"

namespace qelpy {
namespace {

const qel::Segment& segment_of(PyObject* self) {
  return unbox<qel::Segment>(self);
}

PyObject* segment_repr(PyObject* self) {
  return guarded([&] {
    const qel::Segment& segment = segment_of(self);
    const std::string repr =
        "Segment(start_timestamp_ns=" + std::to_string(segment.start_timestamp_ns) +
        ", sample_rate_hz=" + qel::format_rate(segment.sample_rate_hz) +
        ", sample_count=" + std::to_string(segment.sample_count) + ")";
    return PyUnicode_FromStringAndSize(repr.data(), static_cast<Py_ssize_t>(repr.size()));
  });
}

PyObject* get_start(PyObject* self, void*) {
  return PyLong_FromLongLong(segment_of(self).start_timestamp_ns);
}

PyObject* get_rate(PyObject* self, void*) {
  return PyFloat_FromDouble(segment_of(self).sample_rate_hz);
}

PyObject* get_segment_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(segment_of(self).sample_count);
}

PyGetSetDef segment_properties[] = {
    {"start_timestamp_ns", get_start, nullptr,
     "Absolute start timestamp of this segment in nanoseconds.", nullptr},
    {"sample_rate_hz", get_rate, nullptr,
     "Sample rate in Hz, valid until the next segment of this\nchannel.", nullptr},
    {"sample_count", get_segment_count, nullptr, "Number of samples belonging to this segment.",
     nullptr},
    {},
};

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One equidistant segment, exposed as `qel.Segment`.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<qel::Segment>)},
    {Py_tp_repr, as_slot(segment_repr)},
    {Py_tp_getset, segment_properties},
    {},
};

PyType_Spec segment_table = {
    "qel.Segment", sizeof(Boxed<qel::Segment>), 0, kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    segment_slots,
};

PyObject* segment_class_cache = nullptr;

}  // namespace

PyObject* segment_class() {
  return class_from_table(segment_class_cache, segment_table);
}

PyObject* new_segment(const qel::Segment& segment) {
  return box(segment_class(), segment);
}

}  // namespace qelpy
