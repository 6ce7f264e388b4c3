#include "numpy_memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "py_ref.hpp"
#include "qel/array_memory.hpp"

namespace qelpy {
namespace {

namespace memory = qel::array_memory;

// Mapped blocks by address: NumPy hands back only the address, and mapped
// blocks must return to the core rather than to free().
class MappedBlocks {
 public:
  using Node = std::unordered_map<void*, memory::Block>::node_type;

  void add(const memory::Block& block) {
    const std::lock_guard lock(mutex_);
    blocks_.emplace(block.data, block);
  }
  // Empty for addresses that are not of a mapped block.
  Node take(void* data) {
    const std::lock_guard lock(mutex_);
    return blocks_.extract(data);
  }
  // Puts back a node taken before; allocates nothing.
  void put_back(Node node) {
    const std::lock_guard lock(mutex_);
    blocks_.insert(std::move(node));
  }

 private:
  std::mutex mutex_;
  std::unordered_map<void*, memory::Block> blocks_;
};

// Never destroyed: arrays may be freed late in interpreter shutdown.
MappedBlocks& mapped_blocks() {
  static MappedBlocks* const blocks = new MappedBlocks;
  return *blocks;
}

void* allocate(void*, std::size_t size) noexcept {
  memory::Block block;
  try {
    block = memory::grow({}, 0, size, size);
    if (block.mapped) mapped_blocks().add(block);
    return block.data;
  } catch (...) {
    memory::release(block);
    return nullptr;
  }
}

void* allocate_zeroed(void*, std::size_t count, std::size_t size) noexcept {
  return std::calloc(count, size);
}

void* reallocate(void*, void* data, std::size_t size) noexcept {
  MappedBlocks::Node node = mapped_blocks().take(data);
  if (node.empty()) return std::realloc(data, size);
  void* moved = nullptr;
  try {
    node.mapped() = memory::grow(node.mapped(), std::min(node.mapped().bytes, size), size, size);
    node.key() = moved = node.mapped().data;
  } catch (...) {
    // The block stays as it was, and NumPy keeps using it.
  }
  mapped_blocks().put_back(std::move(node));
  return moved;
}

void deallocate(void*, void* data, std::size_t) noexcept {
  MappedBlocks::Node node = mapped_blocks().take(data);
  if (node.empty()) {
    std::free(data);
    return;
  }
  memory::release(node.mapped());
}

PyDataMem_Handler handler = {
    "qel", 1, {nullptr, allocate, allocate_zeroed, reallocate, deallocate}};

// Borrowed; made once and kept, as every array made with it refers to it.
PyObject* handler_capsule() {
  static PyObject* const capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
  return capsule;
}

}  // namespace

PyObject* new_empty_array(int ndim, npy_intp* dims, int type) {
  PyObject* const ours = handler_capsule();
  if (ours == nullptr) return nullptr;
  PyRef previous(PyDataMem_SetHandler(ours));
  if (!previous) return nullptr;
  PyRef array(PyArray_SimpleNew(ndim, dims, type));
  const PyRef restored(PyDataMem_SetHandler(previous.get()));
  if (!restored) return nullptr;
  return array.release();
}

}  // namespace qelpy
