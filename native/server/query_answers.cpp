#include "server/query_answers.hpp"

#include <algorithm>
#include <utility>

#include "core/text.hpp"
#include "pir/batched_documents.hpp"
#include "pir/vector_payload.hpp"
#include "server/parallel_for.hpp"

namespace quorvex {

namespace {

using QueryVectors = std::vector<std::vector<std::uint64_t>>;

Result<QueryVectors> read_query_vectors(const StoreShape& shape, DocumentBytes document,
                                        std::uint64_t max_retrieval_count) {
  BatchedPirQuery batch = QV_TRY(BatchedPirQuery::from_json_slice(document));
  QV_TRY(check_batch_scheme("batched PIR query", batch.scheme, shape.scheme));
  QV_TRY(check_profile_retrieval_count(shape.profile, batch.retrieval_count));
  if (batch.retrieval_count > max_retrieval_count) {
    return format_error(concat("batched PIR query retrieval_count ", batch.retrieval_count,
                               " exceeds this server's limit of ", max_retrieval_count));
  }
  QueryVectors vectors;
  vectors.reserve(batch.queries.size());
  for (std::size_t k = 0; k < batch.queries.size(); ++k) {
    const std::string label = concat("PIR query ", k);
    const std::vector<std::uint8_t>& payload = batch.queries[k].payload.bytes;
    QV_TRY(check_batch_scheme(label, batch.queries[k].scheme, shape.scheme));
    if (shape.word_bytes == 4) {  // 32-bit elements, widened for the lane products
      const std::vector<std::uint32_t> words =
          QV_TRY(decode_vector_payload<std::uint32_t>(shape.query_magic, payload, shape.query_length, label));
      vectors.emplace_back(words.begin(), words.end());
    } else {
      vectors.push_back(QV_TRY(decode_vector_payload(shape.query_magic, payload, shape.query_length, label)));
    }
    batch.queries[k].payload.bytes = {};  // the decoded vector replaces it
  }
  return vectors;
}

Result<std::vector<std::uint8_t>> response_document(const StoreShape& shape, std::span<const std::uint64_t> sums,
                                                    std::size_t first, std::size_t count, std::size_t stride,
                                                    AnswerAlteration alteration) {
  BatchedPirResponse response;
  response.scheme = shape.scheme;
  response.retrieval_count = count;
  response.responses.resize(count);
  std::vector<std::uint64_t> answer(shape.answer_length, 0);  // elements past the lane rows stay zero
  for (std::size_t k = 0; k < count; ++k) {
    for (std::size_t r = 0; r < shape.lane_rows; ++r) answer[r] = sums[r * stride + first + k] & shape.answer_mask;
    if (alteration.lane < answer.size()) {
      answer[alteration.lane] = (answer[alteration.lane] + alteration.shift * shape.delta) & shape.answer_mask;
    }
    PirResponse& item = response.responses[k];
    item.scheme = shape.scheme;
    if (shape.word_bytes == 4) {
      const std::vector<std::uint32_t> words(answer.begin(), answer.end());  // masked to 32 bits above
      item.payload.bytes = encode_vector_payload(shape.response_magic, std::span<const std::uint32_t>(words));
    } else {
      item.payload.bytes = encode_vector_payload(shape.response_magic, std::span<const std::uint64_t>(answer));
    }
  }
  return response.to_json_vec();
}

}  // namespace

std::vector<Result<std::vector<std::uint8_t>>> answer_query_documents(const LaneStore& store,
                                                                      std::span<const DocumentBytes> documents,
                                                                      std::uint64_t max_retrieval_count,
                                                                      unsigned threads,
                                                                      AnswerAlteration alteration) {
  const StoreShape& shape = store.shape;
  // Documents are read, and their responses written, on several threads.
  std::vector<Result<QueryVectors>> read(documents.size(), QueryVectors{});
  parallel_for(documents.size(), threads, [&](std::size_t, std::size_t first, std::size_t last) {
    for (std::size_t d = first; d < last; ++d) read[d] = read_query_vectors(shape, documents[d], max_retrieval_count);
  });
  std::vector<const std::uint64_t*> vectors;
  std::vector<std::size_t> first_vector;  // of each document
  for (const Result<QueryVectors>& document : read) {
    first_vector.push_back(vectors.size());
    if (document) {
      for (const auto& vector : *document) vectors.push_back(vector.data());
    }
  }
  std::vector<std::uint64_t> sums;
  if (!vectors.empty()) {
    // Only the first `columns` elements of a query meet a record; the
    // database's other columns are zero.
    sums = lane_products(store.rows(), shape.columns, vectors.size(), threads,
                         [&](FactorBlock& block, std::size_t first_column) {
                           for (std::size_t k = 0; k < vectors.size(); ++k) {
                             const std::uint64_t* values = vectors[k] + first_column;
                             for (std::size_t c = 0; c < block.length(); ++c) block.set(k, c, values[c]);
                           }
                         });
  }
  std::vector<Result<std::vector<std::uint8_t>>> answers(documents.size(), std::vector<std::uint8_t>{});
  parallel_for(documents.size(), threads, [&](std::size_t, std::size_t first, std::size_t last) {
    for (std::size_t d = first; d < last; ++d) {
      if (!read[d]) {
        answers[d] = std::unexpected(std::move(read[d]).error());
        continue;
      }
      const std::size_t count = read[d]->size();
      read[d]->clear();
      answers[d] = response_document(shape, sums, first_vector[d], count, vectors.size(), alteration);
    }
  });
  return answers;
}

}  // namespace quorvex
