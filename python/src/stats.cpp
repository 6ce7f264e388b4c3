#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "boundary.hpp"
#include "boxed.hpp"
#include "classes.hpp"
#include "qel/integrity.hpp"

namespace qelpy {
namespace {

using Stats = qel::ReaderStats;

const Stats& stats_of(PyObject* self) {
  return unbox<Stats>(self);
}

PyObject* to_python(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}

PyObject* to_python(bool value) {
  return PyBool_FromLong(value);
}

PyObject* to_python(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

double elapsed_ms(const Stats& stats) {
  const auto nanos = stats.elapsed.count();
  const double seconds =
      static_cast<double>(nanos / 1'000'000'000) + static_cast<double>(nanos % 1'000'000'000) / 1e9;
  return seconds * 1000.0;
}

// A getter for a plain member.
template <auto Member>
PyObject* get(PyObject* self, void*) {
  return to_python(stats_of(self).*Member);
}

PyObject* get_file_size_bytes(PyObject* self, void*) {
  const std::optional<std::uint64_t> size = stats_of(self).file_size_bytes;
  return size ? to_python(*size) : Py_NewRef(Py_None);
}

PyObject* get_elapsed_ms(PyObject* self, void*) {
  return PyFloat_FromDouble(elapsed_ms(stats_of(self)));
}

PyObject* get_compression_format(PyObject* self, void*) {
  const Stats& stats = stats_of(self);
  if (!stats.compressed) return Py_NewRef(Py_None);
  return to_python(qel::to_string(stats.compression_format));
}

PyObject* get_integrity(PyObject* self, void*) {
  return to_python(qel::to_string(stats_of(self).integrity));
}

PyObject* get_verification_status(PyObject* self, void*) {
  const Stats& stats = stats_of(self);
  return to_python(qel::verification_status(stats.integrity, stats.blocks_crc_failed));
}

PyObject* stats_str(PyObject* self) {
  return guarded([&] { return to_python(qel::to_string(stats_of(self))); });
}

PyObject* stats_repr(PyObject* self) {
  return guarded([&] {
    const Stats& stats = stats_of(self);
    char ms[64];
    const auto written =
        std::to_chars(ms, ms + sizeof ms, elapsed_ms(stats), std::chars_format::fixed, 2);
    const std::string repr = "ReaderStats(channels_total=" + std::to_string(stats.channels_total) +
                             ", blocks_total=" + std::to_string(stats.blocks_total) +
                             ", elapsed_ms=" + std::string(ms, written.ptr) +
                             ", compressed=" + (stats.compressed ? "true" : "false") + ")";
    return to_python(repr);
  });
}

PyGetSetDef stats_properties[] = {
    {"file_size_bytes", get_file_size_bytes, nullptr, nullptr, nullptr},
    {"header_size_bytes", get<&Stats::header_size_bytes>, nullptr, nullptr, nullptr},
    {"metablock_size_bytes", get<&Stats::metablock_size_bytes>, nullptr, nullptr, nullptr},
    {"data_section_size_bytes", get<&Stats::data_section_size_bytes>, nullptr, nullptr, nullptr},
    {"elapsed_ms", get_elapsed_ms, nullptr, nullptr, nullptr},
    {"compressed", get<&Stats::compressed>, nullptr, nullptr, nullptr},
    {"compression_format", get_compression_format, nullptr, nullptr, nullptr},
    {"channels_total", get<&Stats::channels_total>, nullptr, nullptr, nullptr},
    {"channels_with_data", get<&Stats::channels_with_data>, nullptr, nullptr, nullptr},
    {"blocks_total", get<&Stats::blocks_total>, nullptr, nullptr, nullptr},
    {"blocks_read", get<&Stats::blocks_read>, nullptr, nullptr, nullptr},
    {"blocks_truncated", get<&Stats::blocks_truncated>, nullptr, nullptr, nullptr},
    {"trailer_seen", get<&Stats::trailer_seen>, nullptr, nullptr, nullptr},
    {"integrity", get_integrity, nullptr,
     "Declared integrity level: `\"none\"`, `\"crc32c\"`, or `\"ed25519\"`.", nullptr},
    {"blocks_crc_failed", get<&Stats::blocks_crc_failed>, nullptr,
     "Blocks dropped because their frame CRC did not match.", nullptr},
    {"blocks_signature_skipped", get<&Stats::blocks_signature_skipped>, nullptr,
     "Signature blocks skipped (this reader does not verify signatures).", nullptr},
    {"blocks_skipped_zero_length", get<&Stats::blocks_skipped_zero_length>, nullptr,
     "Blocks skipped because their length field read `0` — a non-conforming\n"
     "writer artefact (QEL-UP3).",
     nullptr},
    {"blocks_skipped_deprecated_type", get<&Stats::blocks_skipped_deprecated_type>, nullptr,
     "Blocks skipped because the control byte identified a deprecated\n"
     "block type (`bcTrustedTimestamp`). `bcStatusEvent` has its own\n"
     "counter (`blocks_skipped_status_event`); `bcMessageEvent` is decoded\n"
     "rather than skipped in its specified cases (QEL-UP4).",
     nullptr},
    {"blocks_skipped_status_event", get<&Stats::blocks_skipped_status_event>, nullptr,
     "Blocks skipped because the control byte was `bcStatusEvent` (control\n"
     "byte 3). Counted separately from `blocks_skipped_deprecated_type` so\n"
     "an occurrence stays visible in the field (QEL-UP4): its payload is a\n"
     "fixed status word rather than a value of the channel's declared\n"
     "datatype, so it can never become a sample.",
     nullptr},
    {"blocks_skipped_reserved_type", get<&Stats::blocks_skipped_reserved_type>, nullptr,
     "Blocks skipped because the control byte identified a reserved block\n"
     "type (`bcReserved`, `bcTimebaseRealign`, or any value the spec does\n"
     "not currently define), or one of `bcMessageEvent`'s two unspecified\n"
     "shapes: the multi-sample bit set, or a channel datatype other than\n"
     "string/binary (QEL-UP4).",
     nullptr},
    {"verification_status", get_verification_status, nullptr,
     "Overall verification status: `\"none\"`, `\"crc_valid\"`, `\"invalid\"`,\n"
     "or `\"signature_unverifiable\"`.",
     nullptr},
    {},
};

PyType_Slot stats_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("`ReaderStats` wrapper — exposes the read-side telemetry to Python.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<Stats>)},
    {Py_tp_repr, as_slot(stats_repr)},
    {Py_tp_str, as_slot(stats_str)},
    {Py_tp_getset, stats_properties},
    {},
};

PyType_Spec stats_table = {
    "qel.ReaderStats", sizeof(Boxed<Stats>), 0, kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stats_slots,
};

PyObject* stats_class_cache = nullptr;

}  // namespace

PyObject* reader_stats_class() {
  return class_from_table(stats_class_cache, stats_table);
}

PyObject* new_reader_stats(const qel::ReaderStats& stats) {
  return box(reader_stats_class(), stats);
}

}  // namespace qelpy
