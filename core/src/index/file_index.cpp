#include "index/file_index.hpp"

#include <utility>

#include "index/cut.hpp"
#include "index/strict.hpp"

namespace qel {
namespace {

// The channel's description with no samples, in a storage of its kind.
Channel without_samples(const Channel& channel) {
  struct Empty {
    ChannelStorage operator()(const EquidistantStorage& s) const {
      return EquidistantStorage{
          .values = std::visit(
              [](const auto& array) -> NumericValues { return std::decay_t<decltype(array)>(); },
              s.values),
          .segments = {}};
    }
    ChannelStorage operator()(const TimestampedStorage& s) const {
      return TimestampedStorage{
          .timestamps = {},
          .values = std::visit(
              [](const auto& array) -> NumericValues { return std::decay_t<decltype(array)>(); },
              s.values)};
    }
    ChannelStorage operator()(const VariableChannel& v) const {
      return VariableChannel{
          .timestamps = {},
          .strings = v.strings ? std::optional<ByteStringList>(ByteStringList()) : std::nullopt,
          .binaries = v.binaries ? std::optional<ByteStringList>(ByteStringList()) : std::nullopt};
    }
  };
  return Channel{.index = channel.index,
                 .name = channel.name,
                 .data_type = channel.data_type,
                 .meta = channel.meta,
                 .storage = std::visit(Empty{}, channel.storage)};
}

}  // namespace

FileIndex::FileIndex(std::string path, DataManager loaded)
    : path_(std::move(path)), loaded_(std::move(loaded)) {
  infos_.reserve(loaded_.channels().size());
  for (const Channel& channel : loaded_.channels()) infos_.push_back(without_samples(channel));
}

Result<std::unique_ptr<FileIndex>> FileIndex::open(const std::string& path, OpenOptions options) {
  QEL_ASSIGN_OR_RETURN(DataManager loaded, DataManager::load_from_file(path));
  if (options.strict) QEL_TRY(check_strict(loaded.stats()));
  return std::unique_ptr<FileIndex>(new FileIndex(path, std::move(loaded)));
}

const Channel* FileIndex::channel_info(std::string_view name) const {
  const Channel* loaded = loaded_.channel(name);
  return loaded == nullptr ? nullptr
                           : &infos_[static_cast<std::size_t>(loaded - loaded_.channels().data())];
}

const Channel* FileIndex::channel_info_by_index(std::uint16_t index) const {
  const Channel* loaded = loaded_.channel_by_index(index);
  return loaded == nullptr ? nullptr
                           : &infos_[static_cast<std::size_t>(loaded - loaded_.channels().data())];
}

Result<std::vector<ChannelPiece>> FileIndex::read(std::span<const Channel* const> infos,
                                                  const TimeWindow& window) const {
  std::vector<ChannelPiece> pieces;
  pieces.reserve(infos.size());
  for (const Channel* info : infos) {
    const Channel& loaded = loaded_.channels()[static_cast<std::size_t>(info - infos_.data())];
    pieces.push_back(cut_to_window(whole_piece(loaded), window));
  }
  return pieces;
}

}  // namespace qel
