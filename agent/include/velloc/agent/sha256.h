// SHA-256, for the checksums and key digests of backup directories.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velloc::agent {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t len);
  std::array<uint8_t, 32> finish();
  // Lower-case hex of finish().
  std::string hex();

  static std::string hexOf(const void* data, size_t len);

 private:
  void block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t total_ = 0;
};

// Hex SHA-256 of a whole file; empty string when it cannot be read.
std::string sha256File(const std::string& path);

}  // namespace velloc::agent
