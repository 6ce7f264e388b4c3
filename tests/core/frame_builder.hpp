#pragma once

// Crafts QEL files byte by byte for tests: header line, metablock, block
// frames (with frame CRCs when the file declares integrity), and whole-file
// gzip or zlib compression.

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "qel/integrity.hpp"
#include "qel/meta.hpp"
#include "qel/types.hpp"

namespace qel::test {

inline constexpr std::uint8_t kMessageEvent = 4;
inline constexpr std::uint8_t kContinuedData = 5;
inline constexpr std::uint8_t kStartData = 6;
inline constexpr std::uint8_t kAbsTimeStampData = 8;
inline constexpr std::uint8_t kMulti = 0x80;

// Little-endian byte assembly.
class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> bytes) : bytes_(bytes) {}

  template <class T>
  Bytes& le(T value) {
    static_assert(std::is_arithmetic_v<T>);
    std::uint8_t raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) std::reverse(raw, raw + sizeof(T));
    bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    return *this;
  }
  Bytes& u8(std::uint8_t v) { return le(v); }
  Bytes& u16(std::uint16_t v) { return le(v); }
  Bytes& u32(std::uint32_t v) { return le(v); }
  Bytes& i64(std::int64_t v) { return le(v); }
  Bytes& f64(double v) { return le(v); }
  Bytes& text(std::string_view s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& raw(std::span<const std::uint8_t> b) {
    bytes_.insert(bytes_.end(), b.begin(), b.end());
    return *this;
  }
  Bytes& zeros(std::size_t n) {
    bytes_.resize(bytes_.size() + n);
    return *this;
  }

  const std::vector<std::uint8_t>& vec() const { return bytes_; }
  std::vector<std::uint8_t>& vec() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  operator std::span<const std::uint8_t>() const { return bytes_; }  // NOLINT

 private:
  std::vector<std::uint8_t> bytes_;
};

struct ChannelDecl {
  std::uint16_t index = 0;
  std::string name;
  std::string datatype = "double";
  std::uint8_t size_of_length = 2;
};

// A version-5 metablock declaring `channels`.
inline std::string metablock_json(const std::vector<ChannelDecl>& channels) {
  std::string json = R"({"qel":{"format":"qel5","channels":[)";
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const ChannelDecl& c = channels[i];
    if (i > 0) json += ",";
    json += R"({"index":)" + std::to_string(c.index) + R"(,"name":")" + c.name +
            R"(","channeltype":"scalar","datatype":")" + c.datatype + R"(","sizeoflengthvalue":)" +
            std::to_string(c.size_of_length) + "}";
  }
  return json + "]}}";
}

// The metadata model for `channels`, for tests that skip metablock parsing.
inline MetaBlock meta_of(const std::vector<ChannelDecl>& channels) {
  MetaBlock meta;
  meta.format_version = 5;
  for (const ChannelDecl& c : channels) {
    meta::Channel channel;
    channel.index = c.index;
    channel.name = c.name;
    auto type = parse_data_type(c.datatype);
    channel.datatype = type ? *type : DataType::unsupported(c.datatype);
    channel.sizeoflengthvalue = c.size_of_length;
    meta.channels.push_back(channel);
  }
  return meta;
}

// The block area, and optionally the header line and metablock before it.
class FileBuilder {
 public:
  explicit FileBuilder(IntegrityProfile integrity = IntegrityProfile::none)
      : integrity_(integrity) {}

  FileBuilder& channels(const std::vector<ChannelDecl>& channels) {
    metablock_ = metablock_json(channels);
    for (const ChannelDecl& c : channels) widths_[c.index] = c.size_of_length;
    return *this;
  }
  FileBuilder& metablock(std::string text) {
    metablock_ = std::move(text);
    return *this;
  }
  FileBuilder& header_line(std::string line) {
    header_line_ = std::move(line);
    return *this;
  }

  // One frame: length field sized for the channel, CRC appended when the
  // file declares integrity.
  FileBuilder& frame(std::uint16_t index, std::uint8_t control,
                     std::span<const std::uint8_t> body) {
    Bytes payload;
    payload.u8(control).raw(body);
    const auto found = widths_.find(index);
    const std::size_t crc_bytes = integrity_ == IntegrityProfile::none ? 0 : 4;
    const auto length = static_cast<std::uint32_t>(payload.size() + crc_bytes);
    Bytes head;
    head.u16(index);
    if (found == widths_.end() || found->second == 2) {
      head.u16(static_cast<std::uint16_t>(length));
    } else {
      head.u32(length);
    }
    blocks_.raw(head).raw(payload);
    if (crc_bytes > 0) blocks_.u32(crc32c_of_parts({head, payload}));
    return *this;
  }
  FileBuilder& raw(std::span<const std::uint8_t> bytes) {
    blocks_.raw(bytes);
    return *this;
  }

  const std::vector<std::uint8_t>& blocks() const { return blocks_.vec(); }

  std::vector<std::uint8_t> file() const {
    Bytes out;
    out.text(header_line_.empty() ? default_header_line() : header_line_).text("\n");
    out.text(metablock_).raw(blocks_);
    return out.vec();
  }

 private:
  std::string default_header_line() const {
    std::string line = "QEL5 " + std::to_string(metablock_.size());
    if (integrity_ == IntegrityProfile::none) return line;
    const auto* text = reinterpret_cast<const std::uint8_t*>(metablock_.data());
    return line + " crc32c:" + hex8(crc32c({text, metablock_.size()}));
  }

  IntegrityProfile integrity_;
  std::string header_line_;
  std::string metablock_;
  std::map<std::uint16_t, std::uint8_t> widths_;
  Bytes blocks_;
};

enum class Wrapper { gzip, zlib };

inline std::vector<std::uint8_t> compress(std::span<const std::uint8_t> input, Wrapper wrapper,
                                          int level = Z_DEFAULT_COMPRESSION) {
  z_stream zs{};
  const int bits = wrapper == Wrapper::gzip ? 16 + MAX_WBITS : MAX_WBITS;
  if (deflateInit2(&zs, level, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(input.size())));
  zs.next_in = const_cast<std::uint8_t*>(input.data());
  zs.avail_in = static_cast<uInt>(input.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

}  // namespace qel::test
