// Housekeeping of a store: log rotation, document-index and token-index
// merges, archiving of revoked records, and the optional reset of split/.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix {

struct CleanStats {
  uint64_t document_merged = 0;
  uint64_t pid_files_deleted = 0;
  uint64_t archived_records = 0;
  uint64_t log_rotated = 0;
  uint64_t token_index_merged = 0;
  uint64_t token_index_pid_deleted = 0;
};

Result<CleanStats> clean(const std::string& kx_dir, bool split);

}  // namespace kestrix
