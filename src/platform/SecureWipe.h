#pragma once
// Overwriting secrets (passwords, keys, credential encodings) before their
// memory is given back, in a way the optimiser may not drop.
#include <cstddef>
#include <string>
#include <vector>

namespace km7 {

void SecureZero(void* data, std::size_t size) noexcept;

// Zeroes the text's bytes, then empties it.
void Wipe(std::string& text) noexcept;

template <typename T>
void Wipe(std::vector<T>& bytes) noexcept {
  if (!bytes.empty()) SecureZero(bytes.data(), bytes.size() * sizeof(T));
  bytes.clear();
}

}  // namespace km7
