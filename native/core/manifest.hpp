// "manifest.json": BundleManifest, its PIR artifact paths, and every rule of
// manifest validation.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

#include "core/error.hpp"
#include "core/json_decode.hpp"

namespace quorvex {

inline constexpr std::string_view kQuorvexVersion = "0.1.0";
inline constexpr std::string_view kIndexFormat = "quorvex-index-v0";
inline constexpr std::string_view kPirStoreFormat = "quorvex-pir-v0";
inline constexpr std::string_view kPirSchemeName = "simplepir-lwe-v0";
// The scheme of the balanced profile (kBalancedProfile), quorvex's own.
inline constexpr std::string_view kBalancedSchemeName = "simplepir-balanced-lwe-v1";

// PIR parameters as text; ordered by key, a later duplicate key wins.
using PirParamMap = std::map<std::string, std::string, std::less<>>;

struct PirArtifactManifest {
  std::string scheme;
  std::string client_hint;
  std::string server_hint;

  Status validate_v0() const;
};

struct BundleManifest {
  std::string quorvex_version;
  std::string bundle_id;
  std::string bundle_version;
  std::string embedding_model;
  std::uint64_t embedding_dimensions = 0;
  std::uint64_t chunk_count = 0;
  std::uint64_t record_size_bytes = 0;
  std::string index_format;
  std::string pir_store_format;
  std::string pir_scheme;
  PirParamMap pir_params;
  std::uint64_t pir_record_count = 0;
  std::uint64_t pir_record_size_bytes = 0;
  PirArtifactManifest pir_artifacts;
  std::string created_at;

  Status validate_v0() const;
  Status validate_pir_metadata() const;
};

Status validate_profile_specific_manifest_shape(const BundleManifest& manifest);
Status validate_profile_security_status(const PirParamMap& pir_params, std::string_view profile,
                                        std::string_view expected);
// "unsupported PIR security_status for {profile}: {status}; expected {expected}" unless they agree.
Status require_security_status(std::string_view profile, std::string_view status, std::string_view expected);
// The supported profile's record limits: at most 1000 records (tested first),
// each exactly 1024 bytes.
Status validate_supported_profile_record_shape(std::uint64_t record_count, std::uint64_t record_size_bytes);
// True exactly when pir_params names the supported profile.
bool is_supported_simplepir_rs_manifest(const BundleManifest& manifest);
// True exactly when pir_params names the balanced profile, quorvex's own.
bool is_balanced_manifest(const BundleManifest& manifest);

template <>
struct JsonRecord<PirArtifactManifest> {
  static constexpr std::string_view name = "PirArtifactManifest";
  static constexpr std::tuple fields{
      field("scheme", &PirArtifactManifest::scheme),
      field("client_hint", &PirArtifactManifest::client_hint),
      field("server_hint", &PirArtifactManifest::server_hint),
  };
};

template <>
struct JsonRecord<BundleManifest> {
  using M = BundleManifest;
  static constexpr std::string_view name = "BundleManifest";
  static constexpr std::tuple fields{
      field("quorvex_version", &M::quorvex_version),
      field("bundle_id", &M::bundle_id),
      field("bundle_version", &M::bundle_version),
      field("embedding_model", &M::embedding_model),
      field("embedding_dimensions", &M::embedding_dimensions),
      field("chunk_count", &M::chunk_count),
      field("record_size_bytes", &M::record_size_bytes),
      field("index_format", &M::index_format),
      field("pir_store_format", &M::pir_store_format),
      field("pir_scheme", &M::pir_scheme),
      field("pir_params", &M::pir_params),
      field("pir_record_count", &M::pir_record_count),
      field("pir_record_size_bytes", &M::pir_record_size_bytes),
      field("pir_artifacts", &M::pir_artifacts),
      field("created_at", &M::created_at),
  };
};

}  // namespace quorvex
