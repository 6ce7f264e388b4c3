// An opened file against the load: one channel of 256 in a file of 64 KiB
// blocks, the names alone, everything, one channel of a gzip file, and one
// channel that is the whole file against a single read() of it (what
// numpy.fromfile does). Medians of alternating rounds, warm page cache.
// Usage: bench_file [work directory, default /tmp] [MiB, default 256] [keep: leave the files]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_files.hpp"
#include "qel/file.hpp"
#include "qel/manager.hpp"

namespace {

using bench::append;
using bench::raw_read;
using bench::write_file;
using bench::write_gzip;

constexpr int kRounds = 7;
constexpr std::size_t kBlockBytes = std::size_t{64} << 10;

// `channels` double channels, their blocks of about 64 KiB taking turns.
std::string make_file(std::size_t channels, std::size_t total_bytes) {
  std::string meta = R"({"qel":{"format":"qel5","channels":[)";
  for (std::size_t c = 0; c < channels; ++c) {
    if (c > 0) meta += ",";
    meta += R"({"index":)" + std::to_string(c) + R"(,"name":"ch)" + std::to_string(c) +
            R"(","channeltype":"scalar","datatype":"double","sizeoflengthvalue":4})";
  }
  meta += "]}}";
  std::string out = "QEL5 " + std::to_string(meta.size()) + "\n" + meta;
  const std::size_t per_block = (kBlockBytes - 21) / sizeof(double);
  const std::size_t blocks = std::max<std::size_t>(1, total_bytes / kBlockBytes / channels);
  out.reserve(out.size() + blocks * channels * (kBlockBytes + 8));
  std::vector<double> values(per_block);
  for (std::size_t b = 0; b < blocks; ++b) {
    for (std::size_t c = 0; c < channels; ++c) {
      for (std::size_t i = 0; i < per_block; ++i) {
        values[i] = static_cast<double>((b * per_block + i) % 1000) + static_cast<double>(c);
      }
      const auto index = static_cast<std::uint16_t>(c);
      const bool start = b == 0;
      const auto length = static_cast<std::uint32_t>(1 + (start ? 20 : 4) + per_block * 8);
      append(out, &index, 2);
      append(out, &length, 4);
      const std::uint8_t control = start ? 0x86 : 0x85;
      append(out, &control, 1);
      if (start) {
        const std::int64_t t0 = 0;
        const double rate = 1000.0;
        append(out, &t0, 8);
        append(out, &rate, 8);
      }
      const auto n = static_cast<std::uint32_t>(per_block);
      append(out, &n, 4);
      append(out, values.data(), per_block * 8);
    }
  }
  return out;
}

bool load(const std::string& path) {
  return qel::DataManager::load_from_file(path).has_value();
}

bool open_names(const std::string& path) {
  const auto file = qel::File::open(path);
  return file && !(*file)->channels().empty();
}

bool one_channel(const std::string& path, const std::string& name) {
  const auto file = qel::File::open(path);
  if (!file) return false;
  const auto read = (*file)->read_channel(*(*file)->channel_info(name));
  return read && read->channel.sample_count() > 0;
}

bool read_all(const qel::File& file) {
  return file.read(std::nullopt).has_value();
}

struct Contender {
  const char* name;
  std::function<bool()> run;
  std::vector<double> seconds;
};

double median(std::vector<double> v) {
  std::ranges::sort(v);
  return v[v.size() / 2];
}

// Runs the contenders in turn, round after round; prints each median and
// its ratio to the first.
void compare(const char* title, std::vector<Contender> contenders) {
  for (int round = 0; round < kRounds + 1; ++round) {
    for (Contender& c : contenders) {
      const auto start = std::chrono::steady_clock::now();
      if (!c.run()) {
        std::printf("%s: %s failed\n", title, c.name);
        std::exit(1);
      }
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      if (round > 0) c.seconds.push_back(took.count());  // the first round warms up
    }
  }
  std::printf("%s\n", title);
  const double base = median(contenders.front().seconds);
  for (const Contender& c : contenders) {
    const double m = median(c.seconds);
    std::printf("  %-28s %9.3f ms  %8.2fx of the first\n", c.name, m * 1e3, m / base);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp";
  const std::size_t mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const std::string many = dir + "/qel-bench-file-256.qel";
  const std::string single = dir + "/qel-bench-file-1.qel";
  const std::string packed = dir + "/qel-bench-file-256.qel.gz";
  {
    if (!write_file(many, make_file(256, mib << 20))) return 1;
    if (!write_gzip(packed, make_file(256, (mib << 20) / 4), "wb1")) return 1;
  }
  if (!write_file(single, make_file(1, mib << 20))) return 1;
  std::printf("%zu MiB, 64 KiB blocks; medians of %d alternating rounds, warm page cache\n\n", mib,
              kRounds);
  compare("256 channels: one channel",
          {{"load", [&] { return load(many); }, {}},
           {"open + read_channel(ch17)", [&] { return one_channel(many, "ch17"); }, {}}});
  compare("256 channels: the names", {{"load", [&] { return load(many); }, {}},
                                      {"open + channels()", [&] { return open_names(many); }, {}}});
  const auto opened = qel::File::open(many);
  if (!opened) return 1;
  compare("256 channels: everything",
          {{"load", [&] { return load(many); }, {}},
           {"read() of an opened file", [&] { return read_all(**opened); }, {}}});
  compare("one channel, the whole file",
          {{"read() into a new array", [&] { return raw_read(single); }, {}},
           {"open + read_channel(ch0)", [&] { return one_channel(single, "ch0"); }, {}}});
  compare("gzip, 256 channels (a quarter of the size): one channel",
          {{"load", [&] { return load(packed); }, {}},
           {"open + read_channel(ch17)", [&] { return one_channel(packed, "ch17"); }, {}}});
  if (argc > 3 && std::string(argv[3]) == "keep") return 0;
  for (const std::string& path : {many, single, packed}) ::unlink(path.c_str());
  return 0;
}
