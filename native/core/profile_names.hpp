// Names of the PIR parameter profiles and what the manifest must state for each.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvex {

inline constexpr std::string_view kToyProfile = "toy-development-only-v0";
inline constexpr std::string_view kExperimentalProfile = "simplepir-rs-experimental-v0";
inline constexpr std::string_view kSupportedProfile = "simplepir-rs-v0-1000-1k";
// quorvex's own profile: LWE with a 128-bit estimate, in the balanced layout.
inline constexpr std::string_view kBalancedProfile = "simplepir-balanced-128-v1";

inline constexpr std::string_view kExperimentalStatus = "experimental-unaudited";
inline constexpr std::string_view kSupportedStatus = "supported-v0-unaudited";
inline constexpr std::string_view kBalancedStatus = "estimated-128-unaudited";

// The supported profile's promises about the collection.
inline constexpr std::uint64_t kSupportedDimensions = 384;
inline constexpr std::uint64_t kSupportedMaxRecords = 1000;
inline constexpr std::uint64_t kSupportedRecordSizeBytes = 1024;
inline constexpr std::uint64_t kSupportedPublicCacheLimitBytes = 2621440;
// Queries in every batch of the supported profile: two hits padded to four.
inline constexpr std::uint64_t kSupportedRetrievalCount = 4;
// Queries in every batch of the balanced profile: at most four hits, padded to four.
inline constexpr std::uint64_t kBalancedRetrievalCount = 4;

}  // namespace quorvex
