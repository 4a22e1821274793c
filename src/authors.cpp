// Author records: ids, the append of one record, and queries by name and/or
// e-mail over the authors layer.
#include "authors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs.h"
#include "hash.h"
#include "lib.h"
#include "line_filter.h"
#include "mmap_lines.h"
#include "pool.h"
#include "storage.h"

namespace kestrix {

std::string author_to_line(const Author& author) {
  std::string out;
  out.reserve(96 + author.name.size() + author.email.size());
  JsonWriter w(out);
  w.begin_object();
  w.key("id").string(author.id);
  w.key("name").string(author.name);
  w.key("email").string(author.email);
  w.key("revoked").boolean(author.revoked);
  w.end_object();
  return out;
}

std::optional<Author> author_from_json(const Value& value) {
  if (!value.is_object()) return std::nullopt;
  const std::string* id = get_string(value, "id");
  const std::string* name = get_string(value, "name");
  const std::string* email = get_string(value, "email");
  const Value* revoked = value.get("revoked");
  if (!id || !name || !email || !revoked || !revoked->is_bool()) return std::nullopt;
  return Author{*id, *name, *email, *revoked->as_bool()};
}

std::optional<Author> author_from_line(std::string_view line) {
  auto value = parse_json(line);
  if (!value) return std::nullopt;
  return author_from_json(*value);
}

namespace authors {
namespace {

constexpr std::string_view kLayer = "authors";

struct Filter {
  const std::optional<std::string>& name;
  const std::optional<std::string>& email;

  bool accepts(const Author& a) const {
    return (!name || a.name == *name) && (!email || a.email == *email);
  }
};

// The matching records of one file's bytes, in line order.  With a name or
// e-mail to match, lines that cannot hold it are not parsed.
std::vector<Author> scan_authors(std::string_view bytes, const Filter& filter) {
  std::vector<Author> found;
  auto take = [&](std::string_view line) {
    auto author = author_from_line(line);
    if (author && filter.accepts(*author)) found.push_back(std::move(*author));
  };
  const std::optional<std::string>& screen = filter.name ? filter.name : filter.email;
  if (screen) for_each_line_holding(bytes, StringSet({*screen}), take);
  else for_each_line(bytes, take);
  return found;
}

Result<std::vector<Author>> query_one_shard(const std::string& kx_dir, const Filter& filter,
                                            const std::string& id) {
  KX_ASSIGN_OR_RETURN(std::string path, shard_path(kx_dir, kLayer, id));
  if (!is_regular_file(path)) return std::vector<Author>{};
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
  if (!bytes) return std::vector<Author>{};
  return scan_authors(bytes->view(), filter);
}

Result<std::vector<Author>> query_all_files(const std::string& layer_dir, const Filter& filter) {
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(layer_dir));
  std::vector<std::string> files;
  for (auto& entry : entries)
    if (entry.is_regular_file()) files.push_back(std::move(entry.path));

  // One task per file; a file that cannot be read contributes nothing.
  auto per_file = parallel_map<std::vector<Author>>(files.size(), [&](size_t i) {
    auto bytes = read_file_bytes(files[i]);
    if (!bytes || !*bytes) return std::vector<Author>{};
    return scan_authors((*bytes)->view(), filter);
  });

  std::vector<Author> result;
  for (auto& list : per_file)
    for (auto& author : list) result.push_back(std::move(author));
  return result;
}

}  // namespace

std::string author_id(const std::string& name, const std::string& email) {
  // The canonical text of {"email": email, "name": name}, built directly.
  std::string text;
  text.reserve(20 + name.size() + email.size());
  text += "{\"email\":";
  append_json_string(email, text);
  text += ",\"name\":";
  append_json_string(name, text);
  text += '}';
  return sha256_hex(text);
}

Result<Author> add(const std::string& kx_dir, const std::string& name, const std::string& email) {
  Author author{author_id(name, email), name, email, false};
  KX_ASSIGN_OR_RETURN(std::string path, shard_path(kx_dir, kLayer, author.id));
  std::string line = author_to_line(author);
  line += '\n';

  UniqueFd fd = open_for_append(path);
  if (fd.get() < 0)
    return fail(Error::os(errno).about(path).context("opening shard " + quote_path(path)));
  KX_TRY(append_whole(fd.get(), path, line));
  return author;
}

Result<std::vector<Author>> query(const std::string& kx_dir, const std::optional<std::string>& name,
                                  const std::optional<std::string>& email) {
  std::string layer_dir = store_path(kx_dir, kLayer);
  if (!is_dir(layer_dir)) return std::vector<Author>{};
  Filter filter{name, email};
  if (name && email) return query_one_shard(kx_dir, filter, author_id(*name, *email));
  return query_all_files(layer_dir, filter);
}

}  // namespace authors
}  // namespace kestrix
