// Sharded JSON Lines storage.  A layer <kx_dir>/.kx/<layer> holds shards
// named by the first two bytes of a record's hash; every line is the
// canonical JSON text of one value plus a line feed, appended in one write.
// Readers skip empty and malformed lines silently.  All functions are safe to
// call from several worker threads at once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "json.h"

namespace kestrix {

// Shard path <kx_dir>/.kx/<layer>/<first two bytes of hash_hex>.  Fails when
// hash_hex is shorter than two bytes or its second byte ends inside a
// multi-byte character.  Pure path computation.
Result<std::string> shard_path(std::string_view kx_dir, std::string_view layer,
                               std::string_view hash_hex);

// Like shard_path, for writers: also refuses a shard name that would leave
// the layer directory ("/" or NUL in it, or "..").
Result<std::string> shard_path_for_write(std::string_view kx_dir, std::string_view layer,
                                         std::string_view hash_hex);

// True when the two bytes name a shard file a writer may create.
bool is_safe_shard_name(std::string_view two_bytes);
// True when `name` is exactly two ASCII hex digits (either case).
bool is_shard_file_name(std::string_view name);

// Appends the canonical text of `value` and a line feed in one write.
Status jsonl_append(const std::string& path, const Value& value);
// Appends an already formed line (must end in a line feed) in one write.
Status jsonl_append_line(const std::string& path, std::string_view line);

// Every value of the file that parses, in file order; empty for a missing or
// empty file.
Result<std::vector<Value>> jsonl_read(const std::string& path);

// Calls fn(value) for every line of `bytes` that parses as JSON.
template <typename Fn>
void for_each_json_line(std::string_view bytes, Fn&& fn);

// Paths of the shard files of a layer (two hex digit names, regular files),
// in directory-listing order.  Empty when the layer is not a directory.
// This is what a layer holds: every whole-layer reader lists it here, and
// other files of the layer directory are no records.
Result<std::vector<std::string>> list_shards(std::string_view kx_dir, std::string_view layer);

// Runs scan(bytes, out) over every shard of a layer on the worker pool, each
// into an `Out` of its own (a container), and hands each shard's output to
// sink(std::move(out)) on the calling thread in listing order, each as soon
// as it is ready.  Missing or empty shards give an empty output; a shard
// that cannot be read fails the call with its error, and nothing after it is
// handed on.
template <typename Out, typename Scan, typename Sink>
Status scan_shards(std::string_view kx_dir, std::string_view layer, const Scan& scan,
                   const Sink& sink);

// Every record of every shard of a layer, shard by shard in listing order.
Result<std::vector<Value>> shard_iterate_all(std::string_view kx_dir, std::string_view layer);

// The values of the lines containing at least one of `patterns` as a byte
// substring.  Patterns must not be empty.
Result<std::vector<Value>> scan_lines_matching(const std::string& path,
                                               const std::vector<std::string>& patterns);

}  // namespace kestrix

#include <utility>

#include "mmap_lines.h"
#include "pool.h"

template <typename Out, typename Scan, typename Sink>
kestrix::Status kestrix::scan_shards(std::string_view kx_dir, std::string_view layer,
                                     const Scan& scan, const Sink& sink) {
  KX_ASSIGN_OR_RETURN(std::vector<std::string> shards, list_shards(kx_dir, layer));
  std::vector<Out> outs(shards.size());
  std::vector<Status> read(shards.size());
  Status status;
  parallel_for_ordered(
      shards.size(),
      [&](size_t i) {
        auto bytes = read_file_bytes(shards[i]);
        if (!bytes) read[i] = fail(std::move(bytes).error());
        else if (*bytes) scan((*bytes)->view(), outs[i]);
      },
      [&](size_t i) {
        if (!status) return;  // an earlier shard failed
        if (!read[i]) status = std::move(read[i]);
        else sink(std::exchange(outs[i], {}));  // freed once the sink is done with it
      });
  return status;
}

template <typename Fn>
void kestrix::for_each_json_line(std::string_view bytes, Fn&& fn) {
  for_each_line(bytes, [&](std::string_view line) {
    auto value = parse_json(line);
    if (value) fn(std::move(*value));
  });
}
