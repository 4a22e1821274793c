// Sections: units of source material with authors, contributors, license and
// year, kept in the `sections` layer and keyed by their section hash.
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

std::string section_to_line(const Section& section);
std::optional<Section> section_from_json(const Value& value);

std::string section_hash(const std::string& path, const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year);

Result<Section> register_section(const std::string& kx_dir, const std::string& path,
                                 const std::vector<std::string>& authors,
                                 const std::vector<std::string>& contributors,
                                 const std::string& license, const std::string& year);

}  // namespace kestrix
