// Compares write_to_file of 256 MiB of equidistant doubles, without and with
// CRC32C, against one plain write of the same array (what ndarray.tofile does).
// Usage: bench_write [output directory, default /tmp]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "qel/writer.hpp"

namespace {

constexpr std::size_t kValues = (std::size_t{256} << 20) / sizeof(double);
constexpr int kRounds = 5;

// Seconds of one run; the output file is removed first, so no run pays for
// truncating the previous one.
double seconds_of(const std::string& path, const std::function<bool()>& run) {
  std::remove(path.c_str());
  const auto start = std::chrono::steady_clock::now();
  if (!run()) return 1e300;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return took.count();
}

qel::WriterBuilder make_builder(const std::vector<double>& values) {
  qel::WriterBuilder builder;
  qel::ChannelDef channel;
  channel.name = "signal";
  channel.data_type = qel::DataTypeId::Double;
  (void)builder.add_channel(std::move(channel));
  (void)builder.add_equidistant_segment_f64(0, 0, values, 1000.0);
  return builder;
}

bool write_builder(const qel::WriterBuilder& source, qel::IntegrityProfile profile,
                   const std::string& path) {
  qel::WriterBuilder builder = source;
  builder.set_integrity(profile);
  const auto status = qel::write_to_file(std::move(builder), path);
  if (!status) std::fprintf(stderr, "%s\n", status.error().message().c_str());
  return status.has_value();
}

bool plain_write(const std::vector<double>& values, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(values.data(), sizeof(double), values.size(), file) == values.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = std::string(argc > 1 ? argv[1] : "/tmp") + "/qel_bench_write.qel";
  std::vector<double> values(kValues);
  for (std::size_t i = 0; i < kValues; ++i) values[i] = static_cast<double>(i) * 0.001;

  const double mib = static_cast<double>(kValues * sizeof(double)) / (1 << 20);
  // The three are measured in turns, so a busy machine slows all of them alike.
  // Each write consumes a copy that shares the samples with `source`, so, as
  // with tofile, freeing the samples is not part of the time.
  const qel::WriterBuilder source = make_builder(values);
  double plain = 1e300, none = 1e300, crc = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    plain = std::min(plain, seconds_of(path, [&] { return plain_write(values, path); }));
    none = std::min(none, seconds_of(path, [&] {
                      return write_builder(source, qel::IntegrityProfile::none, path);
                    }));
    crc = std::min(crc, seconds_of(path, [&] {
                     return write_builder(source, qel::IntegrityProfile::crc32c, path);
                   }));
  }
  std::remove(path.c_str());
  if (plain >= 1e300 || none >= 1e300 || crc >= 1e300) return 1;
  std::printf("256 MiB of equidistant doubles, best of %d\n", kRounds);
  std::printf("  one plain fwrite:         %7.1f MiB/s\n", mib / plain);
  std::printf("  write_to_file, no crc:    %7.1f MiB/s  (%.2f x plain)\n", mib / none,
              plain / none);
  std::printf("  write_to_file, crc32c:    %7.1f MiB/s  (%.2f x no crc)\n", mib / crc, none / crc);
  return 0;
}
