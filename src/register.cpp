// Section records: the section hash, the stored line and its reader, and
// registration (one append per section, no duplicate check).
#include "register.h"

#include "fs.h"
#include "hash.h"
#include "storage.h"

namespace kestrix {

std::string section_to_line(const Section& s) {
  std::string out;
  out.reserve(160 + s.path.size() + s.license.size() + 68 * s.authors.size());
  JsonWriter w(out);
  w.begin_object();
  w.key("section_hash").string(s.section_hash);
  w.key("path").string(s.path);
  w.key("authors").string_array(s.authors);
  w.key("contributors").string_array(s.contributors);
  w.key("license").string(s.license);
  w.key("year").string(s.year);
  w.end_object();
  return out;
}

std::optional<Section> section_from_json(const Value& value) {
  if (!value.is_object()) return std::nullopt;
  const std::string* hash = get_string(value, "section_hash");
  const std::string* path = get_string(value, "path");
  const std::string* license = get_string(value, "license");
  const std::string* year = get_string(value, "year");
  const Value* authors = value.get("authors");
  const Value* contributors = value.get("contributors");
  if (!hash || !path || !license || !year || !authors || !contributors) return std::nullopt;
  Section s{*hash, *path, {}, {}, *license, *year};
  if (!string_list(*authors, s.authors) || !string_list(*contributors, s.contributors))
    return std::nullopt;
  return s;
}

std::string section_hash(const std::string& path, const std::vector<std::string>& authors,
                         const std::vector<std::string>& contributors, const std::string& license,
                         const std::string& year) {
  // The canonical text of the identity object: its keys in sorted order.
  std::string text;
  JsonWriter w(text);
  w.begin_object();
  w.key("authors").string_array(authors);
  w.key("contributors").string_array(contributors);
  w.key("license").string(license);
  w.key("path").string(path);
  w.key("year").string(year);
  w.end_object();
  return sha256_hex(text);
}

Result<Section> register_section(const std::string& kx_dir, const std::string& path,
                                 const std::vector<std::string>& authors,
                                 const std::vector<std::string>& contributors,
                                 const std::string& license, const std::string& year) {
  Section s{section_hash(path, authors, contributors, license, year), path, authors, contributors,
            license, year};
  KX_ASSIGN_OR_RETURN(std::string shard, shard_path(kx_dir, "sections", s.section_hash));
  std::string line = section_to_line(s);
  line += '\n';
  KX_TRY(append_to_file(shard, line));
  return s;
}

}  // namespace kestrix
