#include "client/retrieval_config.hpp"

#include "core/profile_names.hpp"
#include "core/text.hpp"
#include "pir/batched_documents.hpp"

namespace quorvex {

namespace {

constexpr std::uint64_t kSupportedTopK = 2;

}  // namespace

Result<RetrievalConfig> RetrievalConfig::create(std::uint64_t top_k, std::uint64_t retrieval_count) {
  const RetrievalConfig config{top_k, retrieval_count};
  QV_TRY(config.validate());
  return config;
}

Status RetrievalConfig::validate() const {
  if (top_k == 0) return format_error("top_k must be greater than zero");
  if (retrieval_count == 0) return format_error("retrieval_count must be greater than zero");
  if (retrieval_count < top_k) {
    return format_error(
        concat("retrieval_count ", retrieval_count, " must be greater than or equal to top_k ", top_k));
  }
  return {};
}

Status validate_retrieval_config_for_profile(const PirParamMap& pir_params, const RetrievalConfig& config) {
  QV_TRY(config.validate());
  const auto profile = pir_params.find(std::string_view("parameter_profile"));
  if (profile != pir_params.end() && profile->second == kBalancedProfile) {
    return check_profile_retrieval_count(kBalancedProfile, config.retrieval_count);
  }
  if (profile == pir_params.end() || profile->second != kSupportedProfile) return {};
  if (config.top_k != kSupportedTopK) {
    return format_error(concat("PIR parameter_profile ", kSupportedProfile, " requires top_k ", kSupportedTopK,
                               ", got ", config.top_k));
  }
  return check_profile_retrieval_count(kSupportedProfile, config.retrieval_count);
}

}  // namespace quorvex
