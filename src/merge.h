// Absorption of one store (the source) into another (the target): authors,
// sections, document-index records and token-index entries that the target
// does not hold yet are appended to it, matched by identity keys, so that a
// second absorption of the same source adds nothing.  Token entries are
// counted per key, since equal ones are distinct entries: the target gets the
// source's surplus of each key, and the entries of pid files not merged yet
// count on both sides.  The key of an entry that names its line is (line,
// file, count, tokenizer, sorted sources); that of an entry of an older
// writer, which names none, is (count, tokenizer, sorted sources), under
// which the entries of different lines look alike.  The source is only read; the target's layers only
// grow, and its new token entries go into one new merged file per tokenizer,
// written through a temporary file and a rename so that no partial file ever
// carries a merged-file number.
// Calling thread only (apart from the index build); no locks are taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

struct MergeStats {
  uint64_t authors_added = 0;
  uint64_t sections_added = 0;
  uint64_t document_added = 0;
  uint64_t token_index_added = 0;
  uint64_t skipped = 0;
  // Source token entries without identity that matched a target entry by
  // (count, sources, tokenizer) alone, and so were taken for copies.
  uint64_t matched_without_identity = 0;
  // Withdrawals of the source the target lacked, carried into it.
  uint64_t authors_revoked = 0;
  uint64_t sections_revoked = 0;
  uint64_t documents_revoked = 0;
  uint64_t token_entries_revoked = 0;
};

struct AbsorbOptions {
  // Carry the source's withdrawals into the target: an author or section
  // revoked in the source is marked revoked in the target, the source's
  // revoked documents are added to the target's, and token entries revoked
  // in the source are revoked in the target.  This rewrites target files
  // (through AtomicFile) and merges the target's pid files first; without
  // it the target's existing files are never rewritten.  It also counts
  // document records per (line_hash, file), as token entries are counted,
  // so that each occurrence of a line keeps its record.
  bool carry_withdrawals = false;
};

Result<MergeStats> absorb(const std::string& source, const std::string& target,
                          const AbsorbOptions& options = {});

// Every record of every regular file (any name) of <kx_dir>/.kx/<layer>,
// files in listing order, then line order; empty when the layer is missing.
Result<std::vector<Value>> iterate_layer(const std::string& kx_dir, std::string_view layer);

}  // namespace kestrix
