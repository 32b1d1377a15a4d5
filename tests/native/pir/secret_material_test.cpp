// The secret state of a query lives only in wiping vectors (the wiping itself
// is observed in core's secret_vector_test).
#include <type_traits>

#include "pir/os_random.hpp"
#include "pir/pir_query.hpp"

namespace quorvex {
namespace {

template <class Vector>
constexpr bool wipes = std::is_same_v<typename Vector::allocator_type,
                                      WipingAllocator<typename Vector::value_type, std::allocator<typename Vector::value_type>>>;

static_assert(wipes<decltype(PirQueryContext::secret)>);
static_assert(wipes<decltype(QueryMaterial::secret)>);
static_assert(wipes<decltype(QueryMaterial::error)>);
static_assert(wipes<decltype(random_secret_vector(0))::value_type>);
static_assert(wipes<decltype(random_error_vector(0))::value_type>);

}  // namespace
}  // namespace quorvex
