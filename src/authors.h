// Authors: the `authors` layer of Author records, keyed by author id (the
// content hash of {"email","name"}).  Records are only appended; revocation
// rewrites shards elsewhere.
#pragma once

#include <optional>
#include <string>
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

// The compact JSON text of an author with keys in declaration order.
std::string author_to_line(const Author& author);
// An Author from a parsed line (object in any key order); nullopt if a field
// is missing or of the wrong type.
std::optional<Author> author_from_json(const Value& value);

namespace authors {

std::string author_id(const std::string& name, const std::string& email);
Result<Author> add(const std::string& kx_dir, const std::string& name, const std::string& email);
Result<std::vector<Author>> query(const std::string& kx_dir, const std::optional<std::string>& name,
                                  const std::optional<std::string>& email);

}  // namespace authors
}  // namespace kestrix
