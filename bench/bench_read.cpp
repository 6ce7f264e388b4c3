// Load throughput of 256 MiB of equidistant doubles, side by side with the
// baselines the loader is held to: one read() of a raw file of the same
// doubles into a fresh array (what numpy.fromfile does), and plain zlib
// inflation of the gzip file. Each load's peak memory is measured in a child
// process. Usage: bench_read [work directory, default /tmp] [MiB, default 256]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_files.hpp"
#include "qel/integrity.hpp"
#include "qel/manager.hpp"

namespace {

using bench::append;
using bench::raw_read;
using bench::write_file;
using bench::write_gzip;

constexpr int kRounds = 5;

struct Layout {
  const char* name;
  int length_width;  // sizeoflengthvalue of the channel
  bool crc;
};

// A version-5 file of one double channel whose blocks hold `per_block` values.
std::string make_file(const std::vector<double>& values, const Layout& layout) {
  const std::string meta = std::string(R"({"qel":{"format":"qel5","channels":[{"index":0,)") +
                           R"("name":"signal","channeltype":"scalar","datatype":"double",)" +
                           R"("sizeoflengthvalue":)" + std::to_string(layout.length_width) + "}]}}";
  std::string out = "QEL5 " + std::to_string(meta.size());
  if (layout.crc) {
    out +=
        " crc32c:" +
        qel::hex8(qel::crc32c({reinterpret_cast<const std::uint8_t*>(meta.data()), meta.size()}));
  }
  out += "\n" + meta;
  const std::size_t crc_bytes = layout.crc ? 4 : 0;
  const std::size_t budget = layout.length_width == 2 ? 65535 : (std::size_t{8} << 20);
  const std::size_t per_block = (budget - crc_bytes - 21) / sizeof(double);
  out.reserve(out.size() + values.size() * sizeof(double) * 101 / 100);
  for (std::size_t at = 0; at < values.size(); at += per_block) {
    const auto n = static_cast<std::uint32_t>(std::min(per_block, values.size() - at));
    std::string frame;
    const std::uint16_t index = 0;
    append(frame, &index, 2);
    const auto length =
        static_cast<std::uint32_t>(1 + (at == 0 ? 20 : 4) + n * sizeof(double) + crc_bytes);
    append(frame, &length, static_cast<std::size_t>(layout.length_width));
    const std::uint8_t control = at == 0 ? 0x86 : 0x85;
    append(frame, &control, 1);
    if (at == 0) {
      const std::int64_t start = 0;
      const double rate = 1000.0;
      append(frame, &start, 8);
      append(frame, &rate, 8);
    }
    append(frame, &n, 4);
    append(frame, values.data() + at, n * sizeof(double));
    if (layout.crc) {
      const std::uint32_t crc =
          qel::crc32c({reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()});
      append(frame, &crc, 4);
    }
    out += frame;
  }
  return out;
}

// Plain zlib inflation of the whole gzip file into a reused buffer.
bool raw_inflate(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  gzbuffer(file, 32768);
  std::vector<char> buffer(1 << 20);
  int got = 0;
  while ((got = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
  }
  return gzclose(file) == Z_OK && got == 0;
}

bool load(const std::string& path, std::uint64_t expected_samples) {
  const auto manager = qel::DataManager::load_from_file(path);
  if (!manager) {
    std::fprintf(stderr, "load failed: %s\n", manager.error().message().c_str());
    return false;
  }
  return manager->channels().at(0).sample_count() == expected_samples;
}

double best_seconds(const std::function<bool()>& run) {
  double best = 1e300;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return 1e300;
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// Peak resident memory of `run` in a fresh child process, MiB.
double peak_mib(const std::function<bool()>& run) {
  const pid_t child = ::fork();
  if (child == 0) std::_Exit(run() ? 0 : 1);
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const std::size_t count = (mib << 20) / sizeof(double);
  const std::string raw_path = dir + "/qel_bench_raw.f64";
  const Layout layouts[] = {{"plain, 2-byte lengths (64 KiB blocks)", 2, false},
                            {"plain, 4-byte lengths (8 MiB blocks)", 4, false},
                            {"crc32c, 2-byte lengths", 2, true}};
  const std::string gzip_path = dir + "/qel_bench_gzip.qel.gz";
  std::vector<std::string> paths;
  {
    std::vector<double> values(count);
    // A 16-bit converter's random walk in volts: compresses like recorded data.
    std::uint32_t state = 1;
    std::int32_t level = 0;
    for (std::size_t i = 0; i < count; ++i) {
      state = state * 1664525 + 1013904223;
      level = std::clamp(level + static_cast<std::int32_t>(state >> 28) - 8, -32768, 32767);
      values[i] = level * (10.0 / 32768);
    }
    std::string raw(reinterpret_cast<const char*>(values.data()), count * sizeof(double));
    if (!write_file(raw_path, raw)) return 1;
    for (const Layout& layout : layouts) {
      paths.push_back(dir + "/qel_bench_" + std::to_string(paths.size()) + ".qel");
      if (!write_file(paths.back(), make_file(values, layout))) return 1;
    }
    if (!write_gzip(gzip_path, make_file(values, layouts[0]), "wb6")) return 1;
  }

  const double data_mib = static_cast<double>(count * sizeof(double)) / (1 << 20);
  std::printf("%zu doubles (%.0f MiB), best of %d, warm page cache\n\n", count, data_mib, kRounds);
  std::printf("%-44s %9s %10s %10s\n", "run", "seconds", "MiB/s", "peak MiB");
  auto row = [&](const char* name, const std::function<bool()>& run) {
    const double seconds = best_seconds(run);
    std::printf("%-44s %9.3f %10.0f %10.1f\n", name, seconds, data_mib / seconds, peak_mib(run));
    return seconds;
  };
  const double raw =
      row("raw read() into a new array (fromfile)", [&] { return raw_read(raw_path); });
  std::vector<double> loads;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    loads.push_back(row(layouts[i].name, [&, i] { return load(paths[i], count); }));
  }
  const double inflate =
      row("zlib inflate of the gzip file", [&] { return raw_inflate(gzip_path); });
  const double gzip = row("gzip, 2-byte lengths", [&] { return load(gzip_path, count); });

  std::printf("\nplain load / raw read throughput:  %.2f (target >= 0.5)\n", raw / loads[0]);
  std::printf("crc32c load / plain load:          %.2f (target >= 0.85)\n", loads[0] / loads[2]);
  std::printf("gzip load / zlib inflate:          %.2f (target >= 0.8)\n", inflate / gzip);
  std::printf("peak memory target: <= %.0f MiB (1.5 x samples + a few MiB)\n", 1.5 * data_mib);

  std::remove(raw_path.c_str());
  std::remove(gzip_path.c_str());
  for (const auto& path : paths) std::remove(path.c_str());
  return 0;
}
