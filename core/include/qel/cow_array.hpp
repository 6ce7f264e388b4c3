#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>

#include "qel/array_memory.hpp"

namespace qel {

// A growable array of trivially copyable values. Copies share the storage
// until one of them is changed, so handing out copies of loaded channels
// costs nothing. Growth is geometric; large arrays grow without being copied
// (see array_memory.hpp).
template <class T>
class CowArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  CowArray() = default;

  std::size_t size() const noexcept { return storage_ ? storage_->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  const T* data() const noexcept { return storage_ ? storage_->data : nullptr; }
  std::span<const T> view() const noexcept { return {data(), size()}; }
  const T& operator[](std::size_t i) const noexcept { return storage_->data[i]; }
  const T& back() const noexcept { return storage_->data[size() - 1]; }

  void reserve(std::size_t capacity) { own(capacity, capacity); }

  // Adds `count` uninitialised elements at the end and returns the first.
  T* extend(std::size_t count) {
    const std::size_t old = size();
    if (count > SIZE_MAX - old) throw std::bad_alloc();
    own(grown_capacity(old + count), old + count);
    storage_->size = old + count;
    return storage_->data + old;
  }

  void append(std::span<const T> values) {
    if (values.empty()) return;
    array_memory::fill(extend(values.size()), values.data(), values.size_bytes());
  }

  void push_back(const T& value) { *extend(1) = value; }

  // Gives back capacity this array will not need; for arrays done growing.
  void shrink_to_fit() noexcept {
    if (!storage_ || storage_.use_count() > 1) return;
    storage_->block = array_memory::shrink(storage_->block, storage_->size * sizeof(T));
    storage_->capacity = storage_->block.bytes / sizeof(T);
  }

  // Drops trailing elements; used to undo a partly filled extension.
  void truncate(std::size_t count) noexcept {
    if (storage_ && count < storage_->size) storage_->size = count;
  }

 private:
  struct Storage {
    T* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    array_memory::Block block;
    ~Storage() { array_memory::release(block); }
  };

  std::size_t grown_capacity(std::size_t needed) const noexcept {
    const std::size_t capacity = storage_ ? storage_->capacity : 0;
    if (needed <= capacity) return capacity;
    return std::max({needed, capacity + capacity / 2, std::size_t{16}});
  }

  // Makes the storage this array's own, with room for `capacity` elements,
  // or for `needed` where it grows in place (array_memory::grow).
  void own(std::size_t capacity, std::size_t needed) {
    if (!storage_) storage_ = std::make_shared<Storage>();
    if (storage_.use_count() > 1) {
      auto copy = std::make_shared<Storage>();
      const std::size_t size = storage_->size;
      resize_storage(*copy, std::max(capacity, size), std::max(needed, size));
      array_memory::fill(copy->data, storage_->data, storage_->size * sizeof(T));
      copy->size = storage_->size;
      storage_ = std::move(copy);
    }
    if (needed > storage_->capacity) resize_storage(*storage_, capacity, needed);
  }

  static void resize_storage(Storage& storage, std::size_t capacity, std::size_t needed) {
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    storage.block = array_memory::grow(storage.block, storage.size * sizeof(T),
                                       capacity * sizeof(T), needed * sizeof(T));
    storage.data = static_cast<T*>(storage.block.data);
    storage.capacity = storage.block.bytes / sizeof(T);
  }

  std::shared_ptr<Storage> storage_;
};

}  // namespace qel
