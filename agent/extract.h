#pragma once
// Placeholder until safe extraction lands from its own branch.

#include <atomic>
#include <filesystem>
#include <memory>

#include "common/update_error.h"

namespace tessaryndle::agent {

[[nodiscard]] Result<std::filesystem::path> extract_update_archive(const std::filesystem::path& archive,
                                                                   const std::filesystem::path& destination,
                                                                   std::shared_ptr<const std::atomic<bool>> cancel);
[[nodiscard]] Result<std::filesystem::path> find_payload_root(const std::filesystem::path& directory);

}  // namespace tessaryndle::agent
