// Runs work over a range of indices on several threads: the range is cut into
// `threads` contiguous parts, the calling thread taking the first. An
// exception thrown by any part is rethrown here once every part has ended.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace quorvex {

// Calls work(part, first, last) for each part; returns the number of parts.
template <class Work>
std::size_t parallel_for(std::size_t count, unsigned threads, Work&& work) {
  const std::size_t parts = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(count, 1));
  std::vector<std::exception_ptr> faults(parts);
  const auto run = [&](std::size_t part) {
    try {
      work(part, count * part / parts, count * (part + 1) / parts);
    } catch (...) {
      faults[part] = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(parts - 1);
    for (std::size_t part = 1; part < parts; ++part) helpers.emplace_back(run, part);
    run(0);
  }
  for (const std::exception_ptr& fault : faults) {
    if (fault) std::rethrow_exception(fault);
  }
  return parts;
}

}  // namespace quorvex
