// The PIR parameter profiles: for each, its security status, scheme, query
// backend and the lattice parameters it pins. One row per profile; every
// dispatch on a profile goes through this table.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/profile_names.hpp"
#include "pir/pir_scheme.hpp"

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

// "simplepir-balanced-128-v1": secrets of 1408 values modulo 2^32, 9-bit
// digits, errors from a centred binomial distribution of 82 coin pairs
// (variance 41), the public matrix from a ChaCha20 keystream of 32-bit words.
inline constexpr PirProfileValues kBalancedProfileValues{
    1408, 4294967296u, 512, "centred-binomial-82", "chacha20-u32-public-matrix-v1", kOsRandomQueryMaterial};

// The query backend a profile uses.
enum class PirBackendKind { Toy, SimplePirRs, Balanced };

struct PirProfile {
  std::string_view name;
  std::string_view security_status;
  PirScheme scheme;
  PirBackendKind backend;
  PirProfileValues values;
};

inline constexpr std::array<PirProfile, 4> kPirProfiles{{
    {kToyProfile, kExperimentalStatus, PirScheme::SimplePirLweV0, PirBackendKind::Toy, kToyProfileValues},
    {kExperimentalProfile, kExperimentalStatus, PirScheme::SimplePirLweV0, PirBackendKind::SimplePirRs,
     kSimplePirRsProfileValues},
    {kSupportedProfile, kSupportedStatus, PirScheme::SimplePirLweV0, PirBackendKind::SimplePirRs,
     kSimplePirRsProfileValues},
    {kBalancedProfile, kBalancedStatus, PirScheme::SimplePirBalancedLweV1, PirBackendKind::Balanced,
     kBalancedProfileValues},
}};

// The profile of that exact name, or nullptr.
constexpr const PirProfile* find_pir_profile(std::string_view name) {
  for (const PirProfile& profile : kPirProfiles) {
    if (profile.name == name) return &profile;
  }
  return nullptr;
}

// True exactly for the two simplepir-rs profile names.
constexpr bool is_simplepir_rs_parameter_profile(std::string_view profile) {
  return profile == kSupportedProfile || profile == kExperimentalProfile;
}

}  // namespace quorvex
