// The files the benchmarks write and the plain read they are held to.
#pragma once

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

inline void append(std::string& out, const void* bytes, std::size_t n) {
  out.append(static_cast<const char*>(bytes), n);
}

inline bool write_file(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

// `mode` as gzopen takes it: "wb1" for speed, "wb6" for zlib's default level.
inline bool write_gzip(const std::string& path, const std::string& bytes, const char* mode) {
  gzFile file = gzopen(path.c_str(), mode);
  if (file == nullptr) return false;
  constexpr std::size_t kPiece = std::size_t{1} << 24;
  bool ok = true;
  for (std::size_t at = 0; ok && at < bytes.size(); at += kPiece) {
    const auto n = static_cast<unsigned>(std::min(bytes.size() - at, kPiece));
    ok = gzwrite(file, bytes.data() + at, n) == static_cast<int>(n);
  }
  return gzclose(file) == Z_OK && ok;
}

// What numpy.fromfile does: size the array from the file, then one read().
inline bool raw_read(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  ::lseek(fd, 0, SEEK_SET);
  auto* array = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  off_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, array + done, static_cast<std::size_t>(size - done));
    if (got <= 0) break;
    done += got;
  }
  ::close(fd);
  std::free(array);
  return done == size;
}

}  // namespace bench
