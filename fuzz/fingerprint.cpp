#include "fingerprint.hpp"

#include <unistd.h>

#include <cstring>
#include <type_traits>
#include <variant>

#include "qel/writer.hpp"

namespace qel::fuzz {
namespace {

template <class T>
void put(std::string& out, const T& value) {
  static_assert(std::is_trivially_copyable_v<T>);
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put_text(std::string& out, std::string_view text) {
  put(out, text.size());
  out.append(text);
}

void put_optional(std::string& out, const std::optional<std::string>& text) {
  put(out, text.has_value());
  if (text) put_text(out, *text);
}

template <class T>
void put_array(std::string& out, std::span<const T> values) {
  put(out, values.size());
  for (const T& value : values) put(out, value);
}

void put_values(std::string& out, const NumericValues& values) {
  std::visit([&](const auto& array) { put_array(out, array.view()); }, values);
}

void put_strings(std::string& out, const ByteStringList& list) {
  put(out, list.size());
  for (std::size_t i = 0; i < list.size(); ++i) put_text(out, list.text(i));
}

// Storage kinds are not compared: a timestamped channel without samples is
// saved without blocks and comes back as an empty equidistant channel. The
// times of equidistant samples follow from their segments.
void put_storage(std::string& out, const ChannelStorage& storage) {
  if (const auto* equidistant = std::get_if<EquidistantStorage>(&storage)) {
    put_array(out, std::span(equidistant->segments));
    put_array(out, std::span<const std::int64_t>());
    if (size_of(equidistant->values) > 0) put_values(out, equidistant->values);
  } else if (const auto* timestamped = std::get_if<TimestampedStorage>(&storage)) {
    put_array(out, std::span<const Segment>());
    put_array(out, timestamped->timestamps.view());
    if (size_of(timestamped->values) > 0) put_values(out, timestamped->values);
  } else {
    const auto& variable = std::get<VariableChannel>(storage);
    put_array(out, std::span<const Segment>());
    put_array(out, variable.timestamps.view());
    if (variable.strings) put_strings(out, *variable.strings);
    if (variable.binaries) put_strings(out, *variable.binaries);
  }
}

std::string scratch_path() {
  return "/dev/shm/qel-fuzz-" + std::to_string(::getpid()) + ".qel";
}

}  // namespace

std::string fingerprint(const DataManager& manager) {
  std::string out;
  for (const Channel& channel : manager.channels()) {
    put_text(out, channel.name);
    put_text(out, channel.data_type.display_name());
    put_text(out, channel.meta.channel_type.wire_spelling());
    put_optional(out, channel.meta.physical_unit);
    put_optional(out, channel.meta.physical_dimension);
    put_optional(out, channel.meta.display_name);
    put_optional(out, channel.meta.mime_type);
    put_optional(out, channel.meta.reference);
    put_optional(out, channel.meta.comment);
    put(out, channel.sample_count());
    put_storage(out, channel.storage);
  }
  return out;
}

std::string load_outcome(std::span<const std::uint8_t> bytes) {
  auto loaded =
      DataManager::load_from_stream(std::make_unique<MemoryInputStream>(bytes), bytes.size());
  return loaded ? "ok:" + fingerprint(*loaded) : "error:" + loaded.error().message();
}

void check_save_round_trip(const DataManager& manager) {
  auto builder = WriterBuilder::from_manager(manager);
  if (!builder) return;
  const std::string path = scratch_path();
  if (!write_to_file(std::move(*builder), path)) return;
  auto reloaded = DataManager::load_from_file(path);
  ::unlink(path.c_str());
  if (!reloaded || fingerprint(*reloaded) != fingerprint(manager)) __builtin_trap();
}

}  // namespace qel::fuzz
