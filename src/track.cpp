// track(): hash one line's value, append its document record and, with a
// token count and tokenizer, its token-index entry.  Each record is built in
// one buffer and appended with one write; nothing is read.
#include "track.h"

#include "fs.h"
#include "hash.h"
#include "indexer.h"
#include "token_index.h"

namespace kestrix {

Result<std::string> track(const std::string& kx_dir, std::string line_hash, const std::string& file,
                          const std::vector<std::string>& sources,
                          std::optional<uint64_t> token_count,
                          const std::optional<std::string>& tokenizer) {
  const bool with_tokens = token_count.has_value() && tokenizer.has_value();
  // Refused before anything is written, so a bad name leaves no record.
  if (with_tokens && !is_valid_tokenizer_name(*tokenizer))
    return fail(token_index::invalid_tokenizer_error(*tokenizer));

  KX_ASSIGN_OR_RETURN(std::string shard, document_shard_for_write(kx_dir, line_hash));
  std::string line;
  line.reserve(128 + file.size() + 68 * sources.size());
  append_document_line(line, line_hash, file, sources);
  KX_TRY(append_to_file(shard, line));

  if (with_tokens) KX_TRY(token_index::write_pid(kx_dir, *tokenizer, *token_count, sources));
  return line_hash;
}

}  // namespace kestrix
