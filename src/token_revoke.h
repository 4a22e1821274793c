// Revocation of the token-index entries counted from given sections, used by
// revoke_by_author_token.
//
// With a fresh binary token index the entries are found by a lookup and
// flipped in both places, so that no later build or merge undoes the
// revocation and every reader agrees: the affected merged files are
// rewritten whole through AtomicFile with each flipped line in the pid-line
// key order (a crash leaves each file wholly old or wholly new, never a torn
// line), and the index is rewritten with the flags and the shifted line
// positions.  The index is first marked stale (modification time set to the
// epoch), so a failure part-way never leaves a "fresh" index that disagrees
// with the merged files; its rewrite makes it fresh again.  When the index is
// missing, stale or damaged, or does not describe the merged files, the
// merged files are flipped by the fast scan instead.  Runs on the calling
// thread; must not run concurrently with a merge, a build or another
// revocation of the same tokenizer.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>

#include "error.h"

namespace kestrix {

// The section hashes of the sections (any record of any regular file of the
// sections layer) whose `authors` array holds one of `author_ids`.
Result<std::set<std::string>> sections_listing_authors(
    const std::string& kx_dir, const std::unordered_set<std::string>& author_ids);

// Flips the revoked flag of every entry of `tokenizer` listing one of
// `targets`; returns how many were flipped.
Result<uint64_t> revoke_token_entries(const std::string& kx_dir, const std::string& tokenizer,
                                      const std::set<std::string>& targets);

}  // namespace kestrix
