#pragma once
// The C runtime heap as the product uses it: counted, so that a test can prove
// every buffer was given back, and able to fail on request.

#include <cstddef>

namespace crt {
void* malloc(std::size_t size);
void free(void* block);
}  // namespace crt
