// Shared pieces of the fuzz targets: the input as text, and a private scratch
// directory for the readers that take a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <unistd.h>

namespace quorvex::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A directory of this process, created on first use and removed at exit.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return std::filesystem::path(pattern);
  }();
  // Registered once the path exists, so that it runs before the path is destroyed at exit.
  static const bool removed_at_exit = std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir(), ignored);
  }) == 0;
  (void)removed_at_exit;
  return dir;
}

// Replaces `name` in the scratch directory with the input bytes.
inline void write_scratch_file(std::string_view name, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(scratch_dir() / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
}

}  // namespace quorvex::fuzz
