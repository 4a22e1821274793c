// Authors: the `authors` layer of Author records, keyed by author id (the
// content hash of {"email","name"}).  Records are only appended here, one
// whole line per write, to the shard named by the id's first two characters;
// revocation rewrites shards elsewhere (with sorted keys), so readers accept
// the four keys in any order.  All functions are safe to call from several
// threads; query() uses the worker pool for the listing path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

struct Author {
  std::string id;
  std::string name;
  std::string email;
  bool revoked = false;
};

// The compact JSON text of an author with keys in declaration order
// (id, name, email, revoked), without a line feed.
std::string author_to_line(const Author& author);
// An Author from a parsed line (object in any key order); nullopt if a field
// is missing or of the wrong type.
std::optional<Author> author_from_json(const Value& value);
// Parses one raw line of the authors layer; nullopt when it is not an Author.
std::optional<Author> author_from_line(std::string_view line);

namespace authors {

std::string author_id(const std::string& name, const std::string& email);
Result<Author> add(const std::string& kx_dir, const std::string& name, const std::string& email);
// Records whose name (when given) and e-mail (when given) equal the arguments
// byte for byte.  With both given only the id's shard is read; otherwise every
// regular file of the layer, one pool task per file, results in listing
// order and line order.
Result<std::vector<Author>> query(const std::string& kx_dir, const std::optional<std::string>& name,
                                  const std::optional<std::string>& email);

}  // namespace authors
}  // namespace kestrix
