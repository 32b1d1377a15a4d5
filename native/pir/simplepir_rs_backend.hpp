// SimplePirRsBackend: the backend of the two simplepir-rs profiles.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "pir/pir_params.hpp"
#include "pir/simplepir_rs_client_hint.hpp"

namespace quorvex {

class SimplePirRsBackend {
 public:
  // The backend for a simplepir-rs profile whose parameters validate.
  static Result<SimplePirRsBackend> for_params(const PirParams& params);

  // Parses "pir/client_hint.bin" in the simplepir-rs format and checks it against the parameters.
  static Result<SimplePirRsClientArtifact> load_client_artifact(const PirParams& params,
                                                                std::span<const std::uint8_t> bytes);

  std::string_view profile() const { return profile_; }
  std::string_view security_status() const { return security_status_; }

 private:
  SimplePirRsBackend(std::string_view profile, std::string_view security_status)
      : profile_(profile), security_status_(security_status) {}
  std::string_view profile_;          // a static profile name
  std::string_view security_status_;  // that profile's static status
};

}  // namespace quorvex
