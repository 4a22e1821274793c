// Forget sets: taken from a fresh binary token index when there is one, else
// computed from the merged files.  Both number bits by entry id, so they agree
// whenever the index is fresh.
#include "generate_set.h"

#include "fs.h"
#include "token_bin_index.h"
#include "token_match.h"

namespace kestrix {

Result<std::string> generate_forget_set(const std::string& kx_dir, const std::string& tokenizer) {
  // A missing, damaged or stale index is not an error: the merged files are
  // the canonical record.
  auto index = TokenBinIndex::open(kx_dir, tokenizer);
  if (index && *index && (*index)->is_fresh()) return (*index)->generate_forget_set();
  return token_index::generate_forget_set_fast(kx_dir, tokenizer);
}

// A file is written through a temporary file and a rename, so that an
// existing forget set is never seen half rewritten; a device or pipe (say
// /dev/stdout) is written in place rather than replaced.
Status write_forget_set(const std::string& path, const std::string& bitmask) {
  auto info = stat_path(path);
  if (info && !info->regular && !info->directory) {
    KX_ASSIGN_OR_RETURN(auto file, FileWriter::create(path));
    KX_TRY(file.write(bitmask));
    return file.close();
  }
  return atomic_write(path, bitmask);
}

}  // namespace kestrix
