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
