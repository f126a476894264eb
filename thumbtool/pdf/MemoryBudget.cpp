#include "MemoryBudget.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace thumbtool {

namespace {

// Well inside the worker's own limit, which also holds the module's code and fonts.
constexpr std::size_t kBudgetBytes = std::size_t{320} << 20;
// Each block starts with its size, padded so that what follows keeps malloc's alignment.
constexpr std::size_t kHeaderBytes = alignof(std::max_align_t);

std::size_t used = 0;
bool exceeded = false;

bool fits(std::size_t more) {
  if (more > kBudgetBytes - used) {
    exceeded = true;
    return false;
  }
  return true;
}

void* withHeader(void* block, std::size_t size) {
  std::memcpy(block, &size, sizeof size);
  used += size;
  return static_cast<char*>(block) + kHeaderBytes;
}

char* blockOf(void* pointer) { return static_cast<char*>(pointer) - kHeaderBytes; }

std::size_t sizeOf(void* pointer) {
  std::size_t size = 0;
  std::memcpy(&size, blockOf(pointer), sizeof size);
  return size;
}

void* budgetMalloc(void*, std::size_t size) {
  if (!fits(size) || size > SIZE_MAX - kHeaderBytes) {
    return nullptr;
  }
  void* block = std::malloc(size + kHeaderBytes);
  return block != nullptr ? withHeader(block, size) : nullptr;
}

void budgetFree(void*, void* pointer) {
  if (pointer != nullptr) {
    used -= sizeOf(pointer);
    std::free(blockOf(pointer));
  }
}

void* budgetRealloc(void* user, void* pointer, std::size_t size) {
  if (pointer == nullptr) {
    return budgetMalloc(user, size);
  }
  if (size == 0) {
    budgetFree(user, pointer);
    return nullptr;
  }
  std::size_t old = sizeOf(pointer);
  if ((size > old && !fits(size - old)) || size > SIZE_MAX - kHeaderBytes) {
    return nullptr;
  }
  void* block = std::realloc(blockOf(pointer), size + kHeaderBytes);
  if (block == nullptr) {
    return nullptr;  // the old block stands, as realloc leaves it
  }
  used -= old;
  return withHeader(block, size);
}

const fz_alloc_context kBudget = {nullptr, budgetMalloc, budgetRealloc, budgetFree};

}  // namespace

const fz_alloc_context* memoryBudget() { return &kBudget; }

bool memoryBudgetExceeded() { return exceeded; }

}  // namespace thumbtool
