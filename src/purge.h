// Purges: removal of revoked lines from a data file with an undo archive,
// and the reversal of the newest purge.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"

namespace kestrix {

struct PurgeStats {
  uint64_t purged = 0;
  uint64_t kept = 0;
  uint64_t archived = 0;
};

Result<PurgeStats> purge_revoked(const std::string& kx_dir, const std::string& data_file,
                                 bool dry_run);
Result<PurgeStats> purge_by_author_indexed(const std::string& kx_dir,
                                           const std::string& author_name,
                                           const std::string& data_file, bool dry_run);
Result<uint64_t> purge_reverse(const std::string& kx_dir, const std::string& data_file);

}  // namespace kestrix
