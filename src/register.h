// Sections: units of source material with authors, contributors, license and
// year, kept in the `sections` layer and keyed by their section hash.  A
// section is appended as one line with its keys in declaration order;
// revocation rewrites lines as sorted objects with an added `revoked` member,
// which readers accept and ignore.  Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

struct Section {
  std::string section_hash;
  std::string path;
  std::vector<std::string> authors;
  std::vector<std::string> contributors;
  std::string license;
  std::string year;
};

// Compact JSON text with keys in declaration order, without a line feed.
std::string section_to_line(const Section& section);
// A Section from a parsed object (keys in any order, unknown members
// ignored); nullopt when a field is missing or of the wrong type.
std::optional<Section> section_from_json(const Value& value);

// Content hash of {"authors","contributors","license","path","year"}.
std::string section_hash(const std::string& path, const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year);

// Appends the section's line to its shard and returns the record.
Result<Section> register_section(const std::string& kx_dir, const std::string& path,
                                 const std::vector<std::string>& authors,
                                 const std::vector<std::string>& contributors,
                                 const std::string& license, const std::string& year);

}  // namespace kestrix
