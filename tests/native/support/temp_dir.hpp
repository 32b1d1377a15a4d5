// Scratch files for tests: a directory removed with everything in it
// afterwards, and the outcome of a fallible call as one comparable text.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace quorvex::testing {

// "ok", or the error's display text.
template <class T>
std::string outcome(const Result<T>& result) {
  return result ? "ok" : result.error().display();
}

// `text` with its first "{root}" replaced by `root`.
inline std::string with_root(std::string text, const std::filesystem::path& root) {
  if (const auto at = text.find("{root}"); at != std::string::npos) text.replace(at, 6, root.string());
  return text;
}

// Writes bytes to a file, creating its parent directories.
inline std::filesystem::path write_bytes(const std::filesystem::path& target, std::string_view contents) {
  std::filesystem::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + target.string());
  return target;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path write(std::string_view relative, std::string_view contents) const {
    return write_bytes(path_ / relative, contents);
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quorvex::testing
