#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "qel/log.hpp"
#include "qel/payload.hpp"

namespace qel {
namespace {

using testing::Bytes;

enum class Decoder { Start, Continued, Abs, AbsV4, Rel, Message };

DataType type_of(std::string_view spelling) {
  if (spelling == "unknown") return DataType::unsupported("unknown");
  if (spelling == "bytearray") return DataTypeId::ByteArray;
  return *parse_data_type(spelling);
}

// The error text of a decode, or "ok".
std::string decode_text(Decoder decoder, std::string_view type_name, bool multi,
                        std::span<const std::uint8_t> payload) {
  const DataType type = type_of(type_name);
  auto text = [](const auto& result) {
    return result ? std::string("ok") : result.error().message();
  };
  switch (decoder) {
    case Decoder::Start:
      return text(parse_start_data(payload, type, multi));
    case Decoder::Continued:
      return text(parse_continued_data(payload, type, multi));
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

Bytes filled(std::size_t n) {
  return Bytes().zeros(n);
}
Bytes counted(std::uint32_t n, std::size_t body) {
  return Bytes().u32(n).zeros(body);
}

const std::string kFill = ": failed to fill whole buffer";

INSTANTIATE_TEST_SUITE_P(
    Payloads, DecoderFailure,
    ::testing::Values(
        FailureCase{"StartTimestamp", Decoder::Start, "double", false, filled(4),
                    "StartData timestamp" + kFill},
        FailureCase{"StartTimestampBeforeTypeCheck", Decoder::Start, "string", false, filled(4),
                    "StartData timestamp" + kFill},
        FailureCase{"StartRate", Decoder::Start, "double", false, filled(12),
                    "StartData sample rate" + kFill},
        FailureCase{"StartCount", Decoder::Start, "double", true, filled(18),
                    "multi-sample N" + kFill},
        FailureCase{"StartNeedsOneValue", Decoder::Start, "double", false, filled(16),
                    "numeric run" + kFill},
        FailureCase{"StartHugeCount", Decoder::Start, "double", true,
                    Bytes().zeros(16).u32(0xFFFFFFFF).zeros(8), "numeric run" + kFill},
        FailureCase{"StartString", Decoder::Start, "string", true, filled(20),
                    "equidistant blocks (bcStartData / bcContinuedData) only support numeric "
                    "datatypes; got String"},
        FailureCase{"ContinuedShortValue", Decoder::Continued, "int16", false, filled(1),
                    "numeric run" + kFill},
        FailureCase{"ContinuedCount", Decoder::Continued, "double", true, filled(3),
                    "multi-sample N" + kFill},
        FailureCase{"AbsTs", Decoder::Abs, "double", false, filled(7), "AbsTs ts" + kFill},
        FailureCase{"AbsValue8", Decoder::Abs, "double", false, filled(12),
                    "AbsTs value (8)" + kFill},
        FailureCase{"AbsValue2", Decoder::Abs, "int16", false, filled(9),
                    "AbsTs value (2)" + kFill},
        FailureCase{"AbsCountBeyondRecords", Decoder::Abs, "uint16", true, counted(3, 20),
                    "AbsTs ts" + kFill},
        FailureCase{"AbsHugeCount", Decoder::Abs, "int64", true, counted(0xFFFFFFFF, 28),
                    "AbsTs value (8)" + kFill},
        FailureCase{"AbsCount", Decoder::Abs, "int32", true, filled(2), "multi-sample N" + kFill},
        FailureCase{"GpsTs", Decoder::Abs, "gpslocation", false, filled(7), "AbsTs gps ts" + kFill},
        FailureCase{"GpsLatitude", Decoder::Abs, "gpslocation", false, filled(12),
                    "gps latitude" + kFill},
        FailureCase{"GpsLongitude", Decoder::Abs, "gpslocation", false, filled(20),
                    "gps longitude" + kFill},
        FailureCase{"GpsAltitude", Decoder::Abs, "gpslocation", true, counted(2, 60),
                    "gps altitude" + kFill},
        FailureCase{"AbsUnsupported", Decoder::Abs, "unknown", false, filled(16),
                    "AbsTimeStampData on Unsupported channel reached the typed parser"},
        FailureCase{"RelGps", Decoder::Rel, "gpslocation", false, filled(40),
                    "bcContinuedRelStampData not allowed for datatype GpsLocation"},
        FailureCase{"RelCount", Decoder::Rel, "int32", true, filled(2), "multi-sample N" + kFill},
        FailureCase{"RelDelta", Decoder::Rel, "int32", true, counted(2, 11), "RelTs delta" + kFill},
        FailureCase{"RelValue", Decoder::Rel, "int32", true, counted(2, 14), "RelTs value" + kFill},
        FailureCase{"StringCount", Decoder::Abs, "string", true, filled(3),
                    "AbsTs string/binary N" + kFill},
        FailureCase{"StringTs", Decoder::Abs, "string", false, filled(5),
                    "AbsTs string/binary ts" + kFill},
        FailureCase{"StringRecordV5", Decoder::Abs, "string", true, counted(2, 14),
                    "bcAbsTimeStampData for String N=2: per-sample size 7 is less than 8 (need "
                    "i64 ts)"},
        FailureCase{"StringRecordV4", Decoder::AbsV4, "string", true, counted(2, 16),
                    "bcAbsTimeStampData for String N=2: per-sample size 8 is less than 9 (need "
                    "i64 ts + at least the QEL4 null terminator)"},
        FailureCase{"ByteArrayRecordV4", Decoder::AbsV4, "bytearray", true, counted(3, 0),
                    "bcAbsTimeStampData for Binary N=3: per-sample size 0 is less than 9 (need "
                    "i64 ts + at least the QEL4 null terminator)"},
        FailureCase{"StringInvalid", Decoder::Abs, "string", false,
                    Bytes().i64(1).raw(Bytes{0x61, 0xFF, 0x62}),
                    "bcAbsTimeStampData string is not valid UTF-8: invalid utf-8 sequence of 1 "
                    "bytes from index 1"},
        FailureCase{"MessageTs", Decoder::Message, "string", false, filled(7),
                    "MessageEvent ts" + kFill},
        FailureCase{"MessageLength", Decoder::Message, "string", false, filled(10),
                    "MessageEvent length prefix" + kFill},
        FailureCase{"MessageHugeLength", Decoder::Message, "binary", false,
                    Bytes().i64(0).u32(0xFFFFFFFF),
                    "MessageEvent payload truncated: 4294967295 bytes declared, 0 available"},
        FailureCase{"MessageInvalidUtf8", Decoder::Message, "string", false,
                    Bytes().i64(0).u32(2).raw(Bytes{0xC3, 0x28}),
                    "bcMessageEvent string is not valid UTF-8: invalid utf-8 sequence of 1 bytes "
                    "from index 0"},
        FailureCase{"MessageNumeric", Decoder::Message, "double", false, Bytes().i64(0).u32(0),
                    "build_string_or_binary called with non-string/binary datatype Double for "
                    "bcMessageEvent"}),
    [](const auto& test) { return std::string(test.param.name); });

std::vector<double> doubles(const NumericRun& run) {
  std::vector<double> out(run.count);
  std::memcpy(out.data(), run.bytes, run.count * sizeof(double));
  return out;
}

TEST(NumericPayloads, ReadTheDeclaredRunsInPlace) {
  Bytes payload;
  payload.i64(-5).f64(100.0).u32(2).f64(1.5).f64(-2.5).u32(0xDEADBEEF);  // trailing bytes ignored
  const auto run = parse_start_data(payload, DataTypeId::Double, true);
  ASSERT_TRUE(run);
  EXPECT_EQ(run->start_timestamp_ns, -5);
  EXPECT_EQ(run->sample_rate_hz, 100.0);
  EXPECT_EQ(doubles(run->values), (std::vector<double>{1.5, -2.5}));
  const auto empty = parse_start_data(Bytes().zeros(16).u32(0), DataTypeId::Int32, true);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->values.count, 0u);

  const Bytes single{0x34, 0x12, 0x99, 0x99};
  const auto one = parse_continued_data(single, DataTypeId::Int16, false);
  ASSERT_TRUE(one);
  ASSERT_EQ(one->count, 1u);
  EXPECT_EQ(one->bytes, single.vec().data());

  const auto none = parse_abs_timestamp_data(Bytes().u32(0), DataTypeId::UInt16, true, false);
  ASSERT_TRUE(none);
  EXPECT_FALSE(abs_timestamp_range(*none));
}

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
    ::testing::Values(
        VariableCase{"ImplicitSingleV5", false, false, Bytes().i64(7).text("abc"), "abc;",
                     kBitClear},
        VariableCase{"ImplicitSingleV4DropsLastByte", false, true, Bytes().i64(7).text("abc"),
                     "ab;", kBitClear},
        VariableCase{"EmptyValueV4", true, true, Bytes().u32(1).i64(7), ";"},
        VariableCase{"EqualRecords", true, false,
                     Bytes().u32(2).i64(1).text("abc").i64(2).text("def"), "abc;def;"},
        VariableCase{"EqualRecordsV4", true, true,
                     Bytes().u32(2).i64(1).text("ab").u8(0).i64(2).text("cd").u8(0), "ab;cd;"},
        VariableCase{"IndivisibleFallsBackToOneSample", true, false,
                     Bytes().u32(3).i64(1).text("abc").i64(2).text("def"),
                     std::string("abc\x02\0\0\0\0\0\0\0def;", 15),
                     "bcAbsTimeStampData for String with N=3 has body length 22 that is not "
                     "divisible by N; falling back to single-sample parse"},
        VariableCase{"ZeroCountIgnoresBody", true, false, Bytes().u32(0).text("junk"), ""}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(MessageEventPayload, TakesTheDeclaredBytes) {
  const Bytes empty_payload = Bytes().i64(9).u32(0).text("ignored");
  const auto empty = parse_message_event(empty_payload, DataTypeId::String);
  ASSERT_TRUE(empty);
  EXPECT_EQ(texts(*empty), ";");
  EXPECT_EQ(abs_timestamp_range(*empty), (std::pair<std::int64_t, std::int64_t>{9, 9}));

  const Bytes binary_payload = Bytes().i64(9).u32(2).raw(Bytes{0xFF, 0xFE, 0x00});
  const auto binary = parse_message_event(binary_payload, DataTypeId::ByteArray);
  ASSERT_TRUE(binary);
  const auto& records = std::get<VariableRecords>(*binary);
  EXPECT_EQ(records.type, DataTypeId::Binary);
  EXPECT_EQ(texts(*binary), "\xFF\xFE;");
}

}  // namespace
}  // namespace qel
