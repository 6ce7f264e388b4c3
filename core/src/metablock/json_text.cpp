#include "metablock/json_text.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace qel::meta_json {

void CompactText::element() {
  // An object's values follow their keys, which wrote the separator.
  if (kinds_.empty() || kinds_.back()) return;
  if (!first_) text_ += ',';
  first_ = false;
}

void CompactText::scalar(const Json& value) {
  element();
  text_ += leaf_text(value);
}

void CompactText::key(const std::string& key) {
  if (!first_) text_ += ',';
  first_ = false;
  OpenObject& object = objects_.back();
  if (object.ordered && members_.size() > object.first_member && !(key_at(members_.back()) < key)) {
    object.ordered = false;
  }
  members_.push_back(text_.size());
  text_ += leaf_text(Json(key));
  text_ += ':';
}

void CompactText::open(bool object) {
  element();
  text_ += object ? '{' : '[';
  kinds_.push_back(object);
  if (object) objects_.push_back({members_.size(), true});
  first_ = true;
}

void CompactText::close() {
  const bool object = kinds_.back();
  kinds_.pop_back();
  if (object) {
    const OpenObject closed = objects_.back();
    objects_.pop_back();
    if (!closed.ordered) order_members(closed.first_member);
    members_.resize(closed.first_member);
  }
  text_ += object ? '}' : ']';
  first_ = false;
}

std::string CompactText::key_at(std::size_t at) const {
  // A key as dump() writes it: no raw '"' inside, so the first unescaped one ends it.
  std::size_t end = at + 1;
  bool escaped = false;
  while (text_[end] != '"') {
    escaped = escaped || text_[end] == '\\';
    end += text_[end] == '\\' ? 2 : 1;
  }
  const std::string_view written(text_.data() + at, end + 1 - at);
  if (!escaped) return std::string(written.substr(1, written.size() - 2));
  return Json::parse(written).get<std::string>();
}

void CompactText::order_members(std::size_t first) {
  struct Member {
    std::string key;
    std::size_t begin;
    std::size_t end;
  };
  std::vector<Member> members;
  members.reserve(members_.size() - first);
  for (std::size_t i = first; i < members_.size(); ++i) {
    const std::size_t end = i + 1 < members_.size() ? members_[i + 1] - 1 : text_.size();
    members.push_back({key_at(members_[i]), members_[i], end});
  }
  std::ranges::stable_sort(members, {}, &Member::key);
  std::string ordered;
  ordered.reserve(text_.size() - members_[first]);
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].key == members[i].key)
      continue;  // a later one wins
    if (!ordered.empty()) ordered += ',';
    ordered.append(text_, members[i].begin, members[i].end - members[i].begin);
  }
  text_.replace(members_[first], std::string::npos, ordered);
}

}  // namespace qel::meta_json
