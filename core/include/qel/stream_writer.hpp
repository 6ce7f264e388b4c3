#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/writer.hpp"

namespace qel {

// What creating a stream file does when the path exists already.
enum class ExistingFile : std::uint8_t { refuse, replace };

// Writes a version-5 file while samples arrive: the header line and metablock
// at creation, then blocks as each channel's buffer fills. A channel buffers
// at most one block of samples, so memory stays bounded whatever is written,
// and every block reaches the file whole before the next one of its channel,
// so every prefix of the file loads (a reader keeps every complete block).
//
// Calls are validated as WriterBuilder validates them and either apply
// completely or leave the writer unchanged. An equidistant segment whose
// rate equals the previous segment's and whose start is the time the reader
// gives the sample after that segment's last (start + trunc(n * 1e9 / rate)
// nanoseconds, n samples so far) continues it; any other segment starts a
// new one. The length field of string and binary channels stays as defined:
// a sample that does not fit is refused at the call.
//
// After a failed write the writer is stopped: every later call but close()
// returns that failure again.
class StreamWriter {
 public:
  // Validates the definitions as WriterBuilder::add_channel does, then
  // creates `path` (0666 before the umask) and writes header and metablock.
  static Result<StreamWriter> create(const std::string& path, const FileInfoDraft& info,
                                     std::vector<ChannelDef> channels, IntegrityProfile integrity,
                                     ExistingFile existing);

  StreamWriter(StreamWriter&&) noexcept;
  StreamWriter& operator=(StreamWriter&&) noexcept;
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;
  // Closes the file if close() was not called, writing what is buffered and
  // ignoring failures.
  ~StreamWriter();

  Status add_equidistant_segment_f32(std::uint16_t channel, std::int64_t start_ns,
                                     std::span<const float> values, double sample_rate_hz);
  Status add_equidistant_segment_f64(std::uint16_t channel, std::int64_t start_ns,
                                     std::span<const double> values, double sample_rate_hz);
  // T is one of bool, the eight integer types, float, double and GpsPoint.
  template <class T>
  Status add_timestamped_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                                 std::span<const T> values);
  Status add_string_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                            std::span<const std::string_view> values);
  Status add_binary_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                            std::span<const std::span<const std::uint8_t>> values);

  // Writes every buffered sample out as blocks and hands them to the
  // operating system: a crash of the process after it keeps them.
  Status flush();
  // flush(), then fsync of the file (and once of its directory, so that the
  // new name lasts as well).
  Status sync();
  // flush() and close the file. Every call afterwards fails.
  Status close();

  bool closed() const noexcept;
  const std::vector<ChannelDef>& channels() const noexcept;

 private:
  struct State;
  explicit StreamWriter(std::unique_ptr<State> state) noexcept;

  std::unique_ptr<State> state_;
};

}  // namespace qel
