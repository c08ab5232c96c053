// Ownership of buffers that cross the C-shaped interfaces: allocated with malloc, released with
// free, held in a unique_ptr until handed on.
#pragma once

#include <cstdlib>
#include <memory>

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// `count` values of T, uninitialised (null when memory runs out).
template <typename T>
MallocPtr<T> malloc_array(size_t count) {
  return MallocPtr<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}

// `count` values of T, zero-filled (null when memory runs out).
template <typename T>
MallocPtr<T> calloc_array(size_t count) {
  return MallocPtr<T>(static_cast<T*>(std::calloc(count, sizeof(T))));
}
