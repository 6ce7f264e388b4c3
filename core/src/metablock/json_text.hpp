#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "metablock/json_units.hpp"

namespace qel::meta_json {

// The compact JSON text of one structure, written as the parser's events for
// it arrive, without building it: exactly the text that dump() of the parsed
// structure gives, so object members stand in ascending key order and a
// later duplicate key replaces an earlier one. Besides the text it keeps a
// bit for each open container and a word for each open object and each of
// its members.
class CompactText {
 public:
  // A value without members, as an element or as the value of the last key.
  void scalar(const Json& value);
  void key(const std::string& key);
  void open(bool object);
  void close();
  // Whether the structure begun by the first open() has been closed.
  bool complete() const noexcept { return kinds_.empty(); }
  std::string take() { return std::move(text_); }

 private:
  struct OpenObject {
    std::size_t first_member;  // in members_
    bool ordered;              // keys so far ascending, without duplicates
  };
  void element();
  // Rewrites the members of the innermost object in key order, the last of
  // equal keys kept.
  void order_members(std::size_t first);
  // The key of the member whose text starts at `at`.
  std::string key_at(std::size_t at) const;

  std::string text_;
  std::vector<bool> kinds_;  // the open containers, true for an object
  std::vector<OpenObject> objects_;
  std::vector<std::size_t> members_;  // where each member of the open objects starts
  bool first_ = true;                 // nothing written yet in the innermost container
};

}  // namespace qel::meta_json
