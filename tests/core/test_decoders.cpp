#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "payload/payload.hpp"
#include "qel/log.hpp"

namespace qel {
namespace {

using test::Bytes;

enum class Decoder { Start, Abs, AbsV4, Rel, Message };

// The error text of a decode, or "ok".
std::string decode_text(Decoder decoder, std::string_view type_name, bool multi,
                        std::span<const std::uint8_t> payload) {
  const DataType type = *parse_data_type(type_name);
  auto text = [](const auto& result) {
    return result ? std::string("ok") : result.error().message();
  };
  switch (decoder) {
    case Decoder::Start:
      return text(parse_start_data(payload, type, multi));
    case Decoder::Abs:
      return text(parse_abs_timestamp_data(payload, type, multi, false));
    case Decoder::AbsV4:
      return text(parse_abs_timestamp_data(payload, type, multi, true));
    case Decoder::Rel:
      return text(parse_continued_rel_stamp_data(payload, type, multi));
    case Decoder::Message:
      return text(parse_message_event(payload, type));
  }
  return "unreachable";
}

struct FailureCase {
  const char* name;
  Decoder decoder;
  const char* type;
  bool multi;
  Bytes payload;
  std::string message;
};

class DecoderFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DecoderFailure, RendersTheExactMessage) {
  const FailureCase& c = GetParam();
  log::CapturingSink sink;
  log::ScopedSink scope(sink);
  EXPECT_EQ(decode_text(c.decoder, c.type, c.multi, c.payload),
            "invalid QEL block payload: " + c.message);
}

Bytes counted(std::uint32_t n, std::size_t body) {
  return Bytes().u32(n).zeros(body);
}

const std::string kFill = ": failed to fill whole buffer";

INSTANTIATE_TEST_SUITE_P(
    Payloads, DecoderFailure,
    ::testing::Values(
        FailureCase{"StartHugeCount", Decoder::Start, "double", true,
                    Bytes().zeros(16).u32(0xFFFFFFFF).zeros(8), "numeric run" + kFill},
        FailureCase{"AbsHugeCount", Decoder::Abs, "int64", true, counted(0xFFFFFFFF, 28),
                    "AbsTs value (8)" + kFill},
        FailureCase{"RelGps", Decoder::Rel, "gpslocation", false, Bytes().zeros(40),
                    "bcContinuedRelStampData not allowed for datatype GpsLocation"},
        FailureCase{"StringRecordV5", Decoder::Abs, "string", true, counted(2, 14),
                    "bcAbsTimeStampData for String N=2: per-sample size 7 is less than 8 (need "
                    "i64 ts)"},
        FailureCase{"StringRecordV4", Decoder::AbsV4, "string", true, counted(2, 16),
                    "bcAbsTimeStampData for String N=2: per-sample size 8 is less than 9 (need "
                    "i64 ts + at least the QEL4 null terminator)"},
        FailureCase{"StringInvalid", Decoder::Abs, "string", false,
                    Bytes().i64(1).raw(Bytes{0x61, 0xFF, 0x62}),
                    "bcAbsTimeStampData string is not valid UTF-8: invalid utf-8 sequence of 1 "
                    "bytes from index 1"},
        FailureCase{"MessageHugeLength", Decoder::Message, "binary", false,
                    Bytes().i64(0).u32(0xFFFFFFFF),
                    "MessageEvent payload truncated: 4294967295 bytes declared, 0 available"},
        FailureCase{"MessageInvalidUtf8", Decoder::Message, "string", false,
                    Bytes().i64(0).u32(2).raw(Bytes{0xC3, 0x28}),
                    "bcMessageEvent string is not valid UTF-8: invalid utf-8 sequence of 1 bytes "
                    "from index 0"}),
    [](const auto& test) { return std::string(test.param.name); });

// The values, each followed by ';'.
std::string texts(const TimestampedPayload& payload) {
  const auto& records = std::get<VariableRecords>(payload);
  std::string out;
  for (std::size_t i = 0; i < records.count; ++i) {
    const auto value = records.value(i);
    out.append(value.begin(), value.end()) += ';';
  }
  return out;
}

struct VariableCase {
  const char* name;
  bool multi;
  bool terminated;
  Bytes payload;
  std::string values;
  std::string warning = {};  // the whole text of the one warning, or its start
};

class VariablePayload : public ::testing::TestWithParam<VariableCase> {};

TEST_P(VariablePayload, SplitsRecords) {
  const VariableCase& c = GetParam();
  log::CapturingSink sink;
  log::ScopedSink scope(sink);
  const auto decoded =
      parse_abs_timestamp_data(c.payload, DataTypeId::String, c.multi, c.terminated);
  ASSERT_TRUE(decoded) << decoded.error().message();
  EXPECT_EQ(texts(*decoded), c.values);
  std::string warnings;
  for (const auto& record : sink.records) warnings += record.message;
  EXPECT_EQ(warnings.substr(0, c.warning.size()), c.warning);
  EXPECT_EQ(sink.records.size(), c.warning.empty() ? 0u : 1u);
}

const std::string kBitClear = "bcAbsTimeStampData for String found with bit 7 clear;";

INSTANTIATE_TEST_SUITE_P(
    Strings, VariablePayload,
    ::testing::Values(VariableCase{"ImplicitSingleV5", false, false, Bytes().i64(7).text("abc"),
                                   "abc;", kBitClear},
                      VariableCase{
                          "IndivisibleFallsBackToOneSample", true, false,
                          Bytes().u32(3).i64(1).text("abc").i64(2).text("def"),
                          std::string("abc\x02\0\0\0\0\0\0\0def;", 15),
                          "bcAbsTimeStampData for String with N=3 has body length 22 that is not "
                          "divisible by N; falling back to single-sample parse"},
                      VariableCase{"EmptyValueV4", true, true, Bytes().u32(1).i64(7), ";"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qel
