#include "index/verified_index_files.hpp"

#include "core/bundle_paths.hpp"

namespace quorvex {

Result<VerifiedIndexFiles> VerifiedIndexFiles::read(const ChecksumManifest& checksums,
                                                    const std::filesystem::path& root) {
  auto vectors = QV_TRY(checksums.read_verified(root, kVectorsFile, IndexReader::read_vectors_from));
  auto ids = QV_TRY(checksums.read_verified(root, kIdsFile, IndexReader::read_ids_from));
  auto metadata = QV_TRY(checksums.read_verified(root, kMetadataFile, IndexReader::read_metadata_from));
  auto config = QV_TRY(checksums.read_verified(root, kIndexConfigFile, IndexReader::read_config_from));
  return VerifiedIndexFiles(std::move(vectors), std::move(ids), std::move(metadata), std::move(config));
}

Result<IndexTables> VerifiedIndexFiles::tables() && {
  return load_index_tables([&] { return std::move(config_); }, [&] { return std::move(vectors_); },
                           [&] { return std::move(ids_); }, [&] { return std::move(metadata_); });
}

}  // namespace quorvex
