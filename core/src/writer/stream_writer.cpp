#include "qel/stream_writer.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "common/allocation_guard.hpp"
#include "writer/binary_write.hpp"
#include "writer/block_forms.hpp"
#include "writer/channel_stream.hpp"
#include "writer/sample_checks.hpp"
#include "writer/stream_file.hpp"
#include "writer/timestamped_types.hpp"

namespace qel {
namespace {

template <class T>
std::span<const std::uint8_t> wire_bytes(std::span<const T> values) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

std::span<const std::uint8_t> wire_bytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Everything that can fail without I/O, in the order the builder checks it.
Status check_definitions(std::span<const ChannelDef> channels, IntegrityProfile integrity) {
  for (std::size_t i = 0; i < channels.size(); ++i) QEL_TRY(check_channel_def(channels[i], i));
  if (channels.empty()) return std::unexpected(Error::no_channels());
  if (integrity == IntegrityProfile::ed25519) {
    return std::unexpected(Error::invalid_block_payload(
        "this writer implements integrity level crc only; signing (ed25519) is not supported"));
  }
  return {};
}

std::vector<ChannelStream> streams_of(std::span<const ChannelDef> channels,
                                      std::uint64_t crc_bytes) {
  std::vector<ChannelStream> streams;
  streams.reserve(channels.size());
  for (std::size_t i = 0; i < channels.size(); ++i) {
    streams.emplace_back(static_cast<std::uint16_t>(i), channels[i], crc_bytes);
  }
  return streams;
}

}  // namespace

struct StreamWriter::State {
  State(StreamFile&& file_arg, std::vector<ChannelDef> defs_arg, bool crc)
      : file(std::move(file_arg)),
        blocks(file.out(), crc),
        output{file.out(), blocks},
        defs(std::move(defs_arg)),
        streams(streams_of(defs, crc ? 4 : 0)),
        with_crc(crc) {}

  // Why no further call can be taken: closed, or a write that failed.
  Status usable() const {
    if (closed) return std::unexpected(Error::io_message("stream writer already closed"));
    if (failure) {
      return std::unexpected(
          Error::io_message("stream writer stopped after a failed write (" + *failure + ")"));
    }
    return {};
  }

  // Runs one write step; a failure stops the writer for good, since the file
  // may now end inside a block that nothing may follow.
  template <class F>
  Status writing(F&& step) {
    Status done = std::forward<F>(step)();
    if (done && file.out().holds_borrowed()) done = file.out().flush();
    if (!done) failure = done.error().message();
    return done;
  }

  // The storage so far of a channel that may not exist; the checks refuse it then.
  StorageKind kind_of(std::uint16_t channel) const noexcept {
    return channel < streams.size() ? streams[channel].kind() : StorageKind::empty;
  }

  Status check_readable(std::uint16_t channel) const {
    return block_forms::check_index_readable(channel, defs[channel].name, with_crc);
  }

  template <class T>
  Status add_segment(std::uint16_t channel, std::int64_t start_ns, std::span<const T> values,
                     double sample_rate_hz) {
    QEL_TRY(usable());
    QEL_TRY(check_equidistant(defs, channel, data_type_of_element<T>(), sample_rate_hz,
                              kind_of(channel)));
    QEL_TRY(check_readable(channel));
    return writing([&] {
      return streams[channel].add_segment(output, start_ns, sample_rate_hz, wire_bytes(values));
    });
  }

  template <class V>
  Status add_variable(std::uint16_t channel, DataTypeId type,
                      std::span<const std::int64_t> timestamps, std::span<const V> values) {
    QEL_TRY(usable());
    QEL_TRY(
        check_variable(defs, channel, type, timestamps.size(), values.size(), kind_of(channel)));
    if constexpr (std::is_same_v<V, std::string_view>) QEL_TRY(check_utf8(channel, values));
    QEL_TRY(check_readable(channel));
    // Each sample is one block; its length field is fixed by the definition.
    const std::uint64_t head = wire::kVariableHeadBytes + (with_crc ? 4 : 0);
    std::vector<std::span<const std::uint8_t>> samples;
    samples.reserve(values.size());
    for (const V& value : values) {
      samples.push_back(wire_bytes(value));
      QEL_TRY(block_forms::check_block_length(channel, defs[channel].size_of_length_value,
                                              head + samples.back().size()));
    }
    return writing([&] { return streams[channel].add_variable(output, timestamps, samples); });
  }

  Status flush() {
    QEL_TRY(usable());
    return writing([&]() -> Status {
      for (ChannelStream& stream : streams) QEL_TRY(stream.flush(output));
      return file.out().flush();
    });
  }

  StreamFile file;
  BlockWriter blocks;
  BlockOutput output;
  std::vector<ChannelDef> defs;
  std::vector<ChannelStream> streams;
  bool with_crc;
  bool closed = false;
  // The message of the write that failed.
  std::optional<std::string> failure;
};

Result<StreamWriter> StreamWriter::create(const std::string& path, const FileInfoDraft& info,
                                          std::vector<ChannelDef> channels,
                                          IntegrityProfile integrity, ExistingFile existing) {
  return failed_allocation_as_error([&]() -> Result<StreamWriter> {
    QEL_TRY(check_definitions(channels, integrity));
    const bool with_crc = integrity == IntegrityProfile::crc32c;
    QEL_ASSIGN_OR_RETURN(const std::string metablock,
                         build_metablock_json(info, channels, block_forms::now_unix_seconds()));
    QEL_ASSIGN_OR_RETURN(StreamFile file, StreamFile::create(path, existing));
    const std::string header = block_forms::header_line(metablock, with_crc);
    Status written = file.out().write(wire_bytes(header));
    if (written) written = file.out().write_borrowed(wire_bytes(metablock));
    if (written) written = file.out().flush();
    if (!written) {
      if (existing == ExistingFile::refuse) file.discard();
      return std::unexpected(std::move(written).error());
    }
    return StreamWriter(std::make_unique<State>(std::move(file), std::move(channels), with_crc));
  });
}

StreamWriter::StreamWriter(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
StreamWriter::StreamWriter(StreamWriter&&) noexcept = default;
StreamWriter& StreamWriter::operator=(StreamWriter&&) noexcept = default;

StreamWriter::~StreamWriter() {
  if (state_ && !state_->closed) (void)close();
}

Status StreamWriter::add_equidistant_segment_f32(std::uint16_t channel, std::int64_t start_ns,
                                                 std::span<const float> values,
                                                 double sample_rate_hz) {
  return failed_allocation_as_error(
      [&]() -> Status { return state_->add_segment(channel, start_ns, values, sample_rate_hz); });
}

Status StreamWriter::add_equidistant_segment_f64(std::uint16_t channel, std::int64_t start_ns,
                                                 std::span<const double> values,
                                                 double sample_rate_hz) {
  return failed_allocation_as_error(
      [&]() -> Status { return state_->add_segment(channel, start_ns, values, sample_rate_hz); });
}

template <class T>
Status StreamWriter::add_timestamped_samples(std::uint16_t channel,
                                             std::span<const std::int64_t> timestamps,
                                             std::span<const T> values) {
  return failed_allocation_as_error([&]() -> Status {
    State& s = *state_;
    QEL_TRY(s.usable());
    QEL_TRY(check_timestamped(s.defs, channel, data_type_of_element<T>(), timestamps.size(),
                              values.size(), s.kind_of(channel)));
    QEL_TRY(s.check_readable(channel));
    return s.writing(
        [&] { return s.streams[channel].add_records(s.output, timestamps, wire_bytes(values)); });
  });
}

#define QEL_INSTANTIATE_TIMESTAMPED(T)                      \
  template Status StreamWriter::add_timestamped_samples<T>( \
      std::uint16_t, std::span<const std::int64_t>, std::span<const T>);
QEL_FOR_EACH_TIMESTAMPED_TYPE(QEL_INSTANTIATE_TIMESTAMPED)
#undef QEL_INSTANTIATE_TIMESTAMPED

Status StreamWriter::add_string_samples(std::uint16_t channel,
                                        std::span<const std::int64_t> timestamps,
                                        std::span<const std::string_view> values) {
  return failed_allocation_as_error([&]() -> Status {
    return state_->add_variable(channel, DataTypeId::String, timestamps, values);
  });
}

Status StreamWriter::add_binary_samples(std::uint16_t channel,
                                        std::span<const std::int64_t> timestamps,
                                        std::span<const std::span<const std::uint8_t>> values) {
  return failed_allocation_as_error([&]() -> Status {
    return state_->add_variable(channel, DataTypeId::Binary, timestamps, values);
  });
}

Status StreamWriter::flush() {
  return failed_allocation_as_error([&]() -> Status { return state_->flush(); });
}

Status StreamWriter::sync() {
  return failed_allocation_as_error([&]() -> Status {
    QEL_TRY(state_->flush());
    return state_->writing([&] { return state_->file.sync(); });
  });
}

Status StreamWriter::close() {
  return failed_allocation_as_error([&]() -> Status {
    State& s = *state_;
    if (s.closed) return s.usable();
    // A stopped writer reported its failure already; it only gives the
    // descriptor back.
    Status flushed = s.failure ? Status{} : s.flush();
    s.closed = true;
    Status closed = s.file.close();
    return flushed ? std::move(closed) : std::move(flushed);
  });
}

bool StreamWriter::closed() const noexcept {
  return state_->closed;
}

const std::vector<ChannelDef>& StreamWriter::channels() const noexcept {
  return state_->defs;
}

}  // namespace qel
