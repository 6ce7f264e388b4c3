#include <gtest/gtest.h>

#include <vector>

#include "container/compression.hpp"
#include "frame_builder.hpp"

namespace qel {
namespace {

using test::Bytes;
using test::Wrapper;
using Stored = std::vector<std::uint8_t>;

class FailingStream final : public InputStream {
 public:
  Result<std::size_t> read(std::span<std::uint8_t>) override {
    return std::unexpected(Error::io(5));
  }
};

Stored sample_bytes(std::size_t n) {
  Stored bytes(n);
  std::uint32_t state = 12345;
  for (auto& b : bytes) {
    state = state * 1103515245 + 12345;
    b = static_cast<std::uint8_t>((state >> 16) % 7);  // compressible, not trivially
  }
  return bytes;
}

// Everything the wrapped stream yields, read in chunks of `chunk` bytes.
Result<Stored> drain(std::span<const std::uint8_t> stored, std::size_t chunk) {
  QEL_ASSIGN_OR_RETURN(auto stream, detect_and_wrap(std::make_unique<MemoryInputStream>(stored)));
  Stored out;
  Stored buffer(chunk);
  for (;;) {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, stream.input.read(buffer));
    if (got == 0) return out;
    out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
  }
}

TEST(Detection, FirstReadFailureIsAnIoError) {
  const auto stream = detect_and_wrap(std::make_unique<FailingStream>());
  ASSERT_FALSE(stream);
  EXPECT_EQ(stream.error().kind(), ErrorKind::Io);
}

struct RoundTripCase {
  const char* name;
  std::optional<Wrapper> wrapper;
  std::size_t size;
  std::size_t chunk;
};

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, YieldsEveryByteOnce) {
  const RoundTripCase& c = GetParam();
  const auto plain = sample_bytes(c.size);
  const auto out = drain(c.wrapper ? test::compress(plain, *c.wrapper) : plain, c.chunk);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(*out, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RoundTrip,
    ::testing::Values(RoundTripCase{"PlainSmallReads", std::nullopt, 100'000, 7},
                      RoundTripCase{"PlainBulkReads", std::nullopt, 100'000, 65536},
                      RoundTripCase{"GzipSmallReads", Wrapper::gzip, 200'000, 13},
                      RoundTripCase{"ZlibBulkReads", Wrapper::zlib, 1'000'000, 100'000},
                      RoundTripCase{"GzipEmpty", Wrapper::gzip, 0, 16}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Compressed, OnlyTheFirstGzipMemberIsDecoded) {
  auto two = test::compress(Bytes().text("first"), Wrapper::gzip);
  const auto second = test::compress(Bytes().text("second"), Wrapper::gzip);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(drain(two, 64), Bytes().text("first").vec());
}

TEST(Compressed, StreamCutShortLooksLikeAnEarlyEnd) {
  const auto plain = sample_bytes(300'000);
  auto stored = test::compress(plain, Wrapper::zlib);
  stored.resize(stored.size() / 2);
  const auto out = drain(stored, 4096);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_LT(out->size(), plain.size());
  EXPECT_TRUE(std::equal(out->begin(), out->end(), plain.begin()));
}

TEST(Compressed, CorruptStreamsFailWithTheDecoderDescription) {
  auto flipped = test::compress(sample_bytes(50'000), Wrapper::zlib);
  flipped.back() ^= 0xFF;
  const std::pair<Stored, std::string> cases[] = {
      {flipped, "I/O error: incorrect data check"},
      {{0x1F, 0x8B, 0x07, 0x00, 0, 0, 0, 0, 0, 0}, "I/O error: unknown compression method"},
  };
  for (const auto& [stored, message] : cases) {
    const auto out = drain(stored, 4096);
    ASSERT_FALSE(out) << message;
    EXPECT_EQ(out.error().kind(), ErrorKind::Io);
    EXPECT_EQ(out.error().message(), message);
  }
}

}  // namespace
}  // namespace qel
