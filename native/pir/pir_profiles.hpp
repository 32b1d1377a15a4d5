// The fixed lattice parameters of each PIR parameter profile.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/profile_names.hpp"

namespace quorvex {

// Every value a profile pins; PirParams::validate refuses any difference.
struct PirProfileValues {
  std::uint64_t matrix_width;
  std::uint64_t modulus;
  std::uint64_t plaintext_modulus;
  std::string_view noise_distribution;
  std::string_view matrix_prg;
  std::string_view query_rng;
};

inline constexpr std::string_view kOsRandomQueryMaterial = "os-random-query-material";

// "toy-development-only-v0"
inline constexpr PirProfileValues kToyProfileValues{
    16, 4294967296u, 256, "uniform_i64_-1_0_1", "splitmix64-public-matrix-dev", kOsRandomQueryMaterial};

// "simplepir-rs-experimental-v0" and "simplepir-rs-v0-1000-1k"
inline constexpr PirProfileValues kSimplePirRsProfileValues{
    64, 18446744073709551615u, 131072, "simplepir-rs-adapter-uniform_i64_-1_0_1",
    "simplepir-rs-chacha20-server-hint-v1", kOsRandomQueryMaterial};

// True exactly for the two simplepir-rs profile names.
constexpr bool is_simplepir_rs_parameter_profile(std::string_view profile) {
  return profile == kSupportedProfile || profile == kExperimentalProfile;
}

}  // namespace quorvex
