#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qel::log {

enum class Level : unsigned char { Warn, Debug };

// The targets records are written under.
inline constexpr std::string_view kReader = "qel_core::reader";
inline constexpr std::string_view kManager = "qel_core::manager";
inline constexpr std::string_view kMeta = "qel_core::meta";
inline constexpr std::string_view kMetaJson = "qel_core::meta_json";
inline constexpr std::string_view kMetaXml = "qel_core::meta_xml";
inline constexpr std::string_view kWriter = "qel_core::writer";

// Receives the records of the thread it is installed on.
class Sink {
 public:
  virtual ~Sink() = default;
  // Asked before a record is formatted, so unwanted records cost nothing.
  virtual bool enabled(Level level, std::string_view target) const = 0;
  virtual void write(Level level, std::string_view target, std::string message) = 0;
};

// Installs a sink for the current thread for the lifetime of this object.
// Without one, records are discarded.
class ScopedSink {
 public:
  explicit ScopedSink(Sink& sink) noexcept;
  ~ScopedSink();
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  Sink* previous_;
};

bool enabled(Level level, std::string_view target) noexcept;
// Touches the calling thread's sink slot, so that it exists before it is needed.
void prepare_thread() noexcept;
void write(Level level, std::string_view target, std::string message);

struct Record {
  Level level;
  std::string target;
  std::string message;
};

// Keeps every record; for tests and for callers that replay records later.
class CapturingSink : public Sink {
 public:
  bool enabled(Level, std::string_view) const override { return true; }
  void write(Level level, std::string_view target, std::string message) override {
    records.push_back({level, std::string(target), std::move(message)});
  }
  std::vector<Record> records;
};

}  // namespace qel::log

// Formats the message only when the thread's sink wants the record.
#define QEL_LOG(level, target, message)                                                \
  do {                                                                                 \
    if (::qel::log::enabled(level, target)) ::qel::log::write(level, target, message); \
  } while (false)
#define QEL_WARN(target, message) QEL_LOG(::qel::log::Level::Warn, target, message)
#define QEL_DEBUG(target, message) QEL_LOG(::qel::log::Level::Debug, target, message)
