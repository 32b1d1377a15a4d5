// The element-wise steps of a BERT encoder layer that numpy does in many
// passes over memory: GELU and the softmax of attention scores, each in one
// pass, in place.
//
// Every value is computed from its own inputs (and, for the softmax, its
// row's) by the same float operations in the same order whichever processor
// kernel runs and however the rows are split among threads, so a text's
// embedding does not depend on the texts encoded beside it.
#pragma once

#include <cstddef>
#include <span>

namespace quorvex {

// GELU(x) = x/2 (1 + erf(x / sqrt 2)) of every value, with erf to within
// 1.5e-7 (Abramowitz and Stegun 7.1.26), below float32's resolution near 1.
void gelu_in_place(std::span<float> values);

// The softmax of each run of row_length values (values.size() must be a
// multiple of row_length).
void softmax_rows_in_place(std::span<float> values, std::size_t row_length);

}  // namespace quorvex
