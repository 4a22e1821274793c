#include "storage.h"

#include <cstring>

#include "coding.h"
#include "fs.h"
#include "lib.h"

namespace kestrix {

static bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

Result<std::string> shard_path(std::string_view kx_dir, std::string_view layer,
                               std::string_view hash_hex) {
  if (hash_hex.size() < 2 ||
      (hash_hex.size() > 2 && is_utf8_continuation(static_cast<unsigned char>(hash_hex[2]))))
    return fail_msg("hash " + quote_path(hash_hex) + " names no shard");
  return path_join(store_path(kx_dir, layer), hash_hex.substr(0, 2));
}

bool is_safe_shard_name(std::string_view name) {
  return name.size() == 2 && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Result<std::string> shard_path_for_write(std::string_view kx_dir, std::string_view layer,
                                         std::string_view hash_hex) {
  KX_ASSIGN_OR_RETURN(std::string path, shard_path(kx_dir, layer, hash_hex));
  if (!is_safe_shard_name(hash_hex.substr(0, 2)))
    return fail_msg("hash " + quote_path(hash_hex) + " names no shard inside the layer");
  return path;
}

bool is_shard_file_name(std::string_view name) {
  return name.size() == 2 && is_hex_digit(name[0]) && is_hex_digit(name[1]);
}

Status jsonl_append_line(const std::string& path, std::string_view line) {
  return append_to_file(path, line);
}

Status jsonl_append(const std::string& path, const Value& value) {
  std::string line;
  line.reserve(128);
  write_canonical(value, line);
  line.push_back('\n');
  return append_to_file(path, line);
}

Result<std::vector<Value>> jsonl_read(const std::string& path) {
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
  std::vector<Value> values;
  if (bytes) for_each_json_line(bytes->view(), [&](Value v) { values.push_back(std::move(v)); });
  return values;
}

Result<std::vector<std::string>> list_shards(std::string_view kx_dir, std::string_view layer) {
  std::string dir = path_join(store_dir(kx_dir), layer);
  std::vector<std::string> shards;
  if (!is_dir(dir)) return shards;
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(dir));
  for (auto& e : entries) {
    if (is_shard_file_name(e.name) && e.is_regular_file()) shards.push_back(std::move(e.path));
  }
  return shards;
}

Result<std::vector<Value>> shard_iterate_all(std::string_view kx_dir, std::string_view layer) {
  KX_ASSIGN_OR_RETURN(auto shards, list_shards(kx_dir, layer));
  std::vector<Value> all;
  for (const auto& path : shards) {
    KX_ASSIGN_OR_RETURN(auto values, jsonl_read(path));
    for (auto& v : values) all.push_back(std::move(v));
  }
  return all;
}

Result<std::vector<Value>> scan_lines_matching(const std::string& path,
                                               const std::vector<std::string>& patterns) {
  for (const auto& p : patterns)
    if (p.empty()) return fail(Error::fault("scan_lines_matching: empty pattern"));
  KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
  std::vector<Value> values;
  if (!bytes || patterns.empty()) return values;
  for_each_line(bytes->view(), [&](std::string_view line) {
    for (const auto& p : patterns) {
      if (line.find(p) != std::string_view::npos) {
        auto v = parse_json(line);
        if (v) values.push_back(std::move(*v));
        return;
      }
    }
  });
  return values;
}

}  // namespace kestrix
