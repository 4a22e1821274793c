// Token-index entries, pid files and merged files.  Pid files are appended by
// the process named in them; a merge moves each one into a new merged file
// numbered one past the highest existing number.
#include "token_index.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>

#include "fs.h"
#include "lib.h"
#include "storage.h"

namespace kestrix {

Value token_entry_to_json(const TokenIndexEntry& entry) {
  Array sources;
  sources.reserve(entry.sources.size());
  for (const auto& s : entry.sources) sources.emplace_back(s);
  Object object;
  if (entry.has_identity()) {
    object.push_sorted("file", Value(entry.file));
    object.push_sorted("line_hash", Value(entry.line_hash));
  }
  object.push_sorted("revoked", Value(entry.revoked));
  object.push_sorted("sources", Value(std::move(sources)));
  object.push_sorted("token_count", Value(entry.token_count));
  object.push_sorted("tokenizer", Value(entry.tokenizer));
  return Value(std::move(object));
}

namespace {

std::optional<TokenIndexEntry> entry_from_parts(const Value* count, const Value* sources,
                                                const Value* tokenizer, const Value* revoked) {
  if (!count || !sources || !tokenizer || !revoked) return std::nullopt;
  const uint64_t* n = count->as_uint();
  const std::string* name = tokenizer->as_string();
  const bool* flag = revoked->as_bool();
  if (!n || !name || !flag) return std::nullopt;
  TokenIndexEntry entry{*n, {}, *name, *flag};
  if (!string_list(*sources, entry.sources)) return std::nullopt;
  return entry;
}

}  // namespace

std::optional<TokenIndexEntry> token_entry_from_json(const Value& value) {
  if (const Array* items = value.as_array()) {
    if (items->size() != 4) return std::nullopt;
    return entry_from_parts(&(*items)[0], &(*items)[1], &(*items)[2], &(*items)[3]);
  }
  if (!value.is_object()) return std::nullopt;
  auto entry = entry_from_parts(value.get("token_count"), value.get("sources"),
                                value.get("tokenizer"), value.get("revoked"));
  // The identity is taken when both members are non-empty strings; an entry
  // with only one, or with other values, reads as an entry without identity.
  const std::string* line_hash = get_string(value, "line_hash");
  const std::string* file = get_string(value, "file");
  if (entry && line_hash && file && !line_hash->empty() && !file->empty()) {
    entry->line_hash = *line_hash;
    entry->file = *file;
  }
  return entry;
}

namespace {

void append_pid_form(std::string& out, uint64_t token_count,
                     const std::vector<std::string>& sources, std::string_view tokenizer,
                     bool revoked, std::string_view line_hash = {}, std::string_view file = {}) {
  JsonWriter w(out);
  w.begin_object();
  w.key("token_count").uint(token_count);
  w.key("sources").string_array(sources);
  w.key("tokenizer").string(tokenizer);
  w.key("revoked").boolean(revoked);
  if (!line_hash.empty() && !file.empty()) {
    w.key("line_hash").string(line_hash);
    w.key("file").string(file);
  }
  w.end_object();
}

}  // namespace

void append_token_entry_line(std::string& out, const TokenIndexEntry& entry) {
  append_pid_form(out, entry.token_count, entry.sources, entry.tokenizer, entry.revoked,
                  entry.line_hash, entry.file);
}

bool is_valid_tokenizer_name(std::string_view tokenizer) {
  return !tokenizer.empty() && tokenizer.find('/') == std::string_view::npos &&
         tokenizer.find('\0') == std::string_view::npos;
}

namespace token_index {
namespace {

constexpr std::string_view kPrefix = "token-index.";

std::string file_name(std::string_view tokenizer) {
  std::string name;
  name.reserve(kPrefix.size() + tokenizer.size() + 12);
  name += kPrefix;
  name += tokenizer;
  return name;
}

// The process id, asked once per process: getpid() is a system call and
// track() should cost little beyond its two appends.  A forked child forgets
// the parent's value through the fork handler.
std::atomic<pid_t> cached_pid{0};

void forget_pid() { cached_pid.store(0, std::memory_order_relaxed); }

pid_t process_id() {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pid); });
  pid_t pid = cached_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = ::getpid();
    cached_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

// Opens the pid file of this process (its path goes to `path`) for
// appending; creates the store directory first when it is missing.
Result<UniqueFd> open_pid_file(const std::string& kx_dir, std::string_view tokenizer,
                               std::string& path) {
  std::string name = file_name(tokenizer);
  name += '.';
  name += std::to_string(process_id());
  path = store_path(kx_dir, name);
  for (int attempt = 0;; ++attempt) {
    UniqueFd fd = open_for_append(path);
    if (fd.get() >= 0) return fd;
    if (errno != ENOENT || attempt > 0) return fail_errno(path);
    KX_TRY(create_dirs(store_dir(kx_dir)));
  }
}

// The pid files of `tokenizer` in listing order: regular files named
// prefix + remainder, where the remainder is not empty, not "bin" and holds no
// "." (so "a.b" pid files are not taken for pid files of "a").
Result<std::vector<std::string>> list_pid_files(const std::string& store,
                                                std::string_view tokenizer) {
  std::string prefix = file_name(tokenizer);
  prefix += '.';
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(store));
  std::vector<std::string> files;
  for (auto& entry : entries) {
    std::string name = utf8_lossy(entry.name);
    if (!name.starts_with(prefix)) continue;
    std::string_view rest = std::string_view(name).substr(prefix.size());
    if (rest.empty() || rest == "bin" || rest.find('.') != std::string_view::npos) continue;
    if (entry.is_regular_file()) files.push_back(std::move(entry.path));
  }
  return files;
}

constexpr std::string_view kClaimSuffix = "-merging";

// Renames a pid file to "<name>-merging" before it is read, so that its
// writer's next append starts a new pid file instead of landing after the
// read and being deleted with it; only an append already under way when the
// rename happens can still be lost.  The claimed name is still a pid file of
// the tokenizer, so a merge that stops leaves it for the next one.  When the
// claimed name is taken (left by an interrupted merge) the file is merged
// under its own name.  An empty result: the file vanished since the listing
// (another merge took it).
Result<std::string> claim_pid_file(const std::string& path) {
  if (path.ends_with(kClaimSuffix)) return path;
  std::string claimed = path + std::string(kClaimSuffix);
  Status renamed = rename_no_replace(path, claimed);
  if (renamed) return claimed;
  const int err = renamed.error().os_errno();
  if (err == ENOENT) return std::string();
  if (err == EEXIST || err == EINVAL || err == ENOSYS) return path;
  return fail(std::move(renamed).error());
}

std::string merged_file_name(uint64_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  return digits;
}

// Moves one (claimed) pid file into the merged file `target`.  Its records
// are written, in the merged-line form, through a temporary file that
// replaces the pid file (still a complete pid file, should the merge stop
// there); then the pid file is renamed to `target`.  That rename is the one
// step that both publishes the merged file and consumes the pid file, so a
// crash at any point leaves every entry in exactly one file.  If the pid
// file grew meanwhile (an append that was under way when it was claimed), it
// is read again before it is replaced.  Returns the number of records; 0
// means the pid file was empty and is removed, and no merged file written.
Result<uint64_t> move_into_merged_file(const std::string& store, const std::string& pid_file,
                                       const std::string& target) {
  for (;;) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(pid_file));
    const size_t size_read = bytes ? bytes->size() : 0;
    std::string text;
    uint64_t records = 0;
    if (bytes) {
      for_each_json_line(bytes->view(), [&](const Value& record) {
        write_canonical(record, text);
        text += '\n';
        ++records;
      });
    }
    auto grew = [&] {
      auto now = stat_path(pid_file);
      return now && now->size != size_read;
    };
    if (records == 0) {
      if (grew()) continue;
      KX_TRY(remove_file(pid_file));
      return records;
    }
    KX_ASSIGN_OR_RETURN(AtomicFile rewritten, AtomicFile::begin(pid_file, store));
    KX_TRY(rewritten.write(text));
    if (grew()) continue;  // the temporary file is dropped
    KX_TRY(rewritten.commit());
    KX_TRY(rename_path(pid_file, target));
    return records;
  }
}

}  // namespace

std::string merged_dir(const std::string& kx_dir, std::string_view tokenizer) {
  return store_path(kx_dir, file_name(tokenizer));
}

Error invalid_tokenizer_error(std::string_view tokenizer) {
  return Error::msg("invalid tokenizer name " + quote_path(tokenizer) +
                    ": it must be non-empty and hold no \"/\" or NUL");
}

std::optional<uint64_t> merged_file_number(std::string_view name) {
  if (!name.empty() && name[0] == '+') name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return value;
}

Status write_pid(const std::string& kx_dir, const std::string& tokenizer, uint64_t token_count,
                 const std::vector<std::string>& sources) {
  if (!is_valid_tokenizer_name(tokenizer)) return fail(invalid_tokenizer_error(tokenizer));
  std::string line;
  line.reserve(80 + tokenizer.size() + 68 * sources.size());
  append_pid_form(line, token_count, sources, tokenizer, false);
  line += '\n';

  std::string path;
  KX_ASSIGN_OR_RETURN(UniqueFd fd, open_pid_file(kx_dir, tokenizer, path));
  return append_whole(fd.get(), path, line);
}

Status write_pid_lines(const std::string& kx_dir, const std::string& tokenizer,
                       std::string_view lines) {
  if (!is_valid_tokenizer_name(tokenizer)) return fail(invalid_tokenizer_error(tokenizer));
  if (lines.empty()) return {};
  std::string path;
  KX_ASSIGN_OR_RETURN(UniqueFd fd, open_pid_file(kx_dir, tokenizer, path));
  return append_whole_lines(fd.get(), path, lines);
}

Result<std::pair<uint64_t, uint64_t>> merge_pid_files(const std::string& kx_dir,
                                                      const std::string& tokenizer) {
  if (!is_valid_tokenizer_name(tokenizer)) return fail(invalid_tokenizer_error(tokenizer));
  std::string store = store_dir(kx_dir);
  if (!is_dir(store)) return std::pair<uint64_t, uint64_t>{0, 0};
  KX_ASSIGN_OR_RETURN(auto pid_files, list_pid_files(store, tokenizer));
  if (pid_files.empty()) return std::pair<uint64_t, uint64_t>{0, 0};

  std::string dir = merged_dir(kx_dir, tokenizer);
  KX_TRY(create_dirs(dir));
  KX_ASSIGN_OR_RETURN(auto existing, get_merged_files(kx_dir, tokenizer));
  uint64_t last = existing.empty() ? 0 : existing.back().first;

  uint64_t entries = 0, consumed = 0;
  for (const auto& listed : pid_files) {
    // A wrapped number would overwrite merged file 000 on every merge.
    if (last == UINT64_MAX) return fail_msg("no merged file number left in " + quote_path(dir));
    KX_ASSIGN_OR_RETURN(std::string pid_file, claim_pid_file(listed));
    if (pid_file.empty()) continue;
    KX_ASSIGN_OR_RETURN(uint64_t records, move_into_merged_file(
                                              store, pid_file,
                                              path_join(dir, merged_file_name(last + 1))));
    if (records > 0) ++last;  // an empty pid file uses no number
    entries += records;
    ++consumed;
  }
  return std::pair<uint64_t, uint64_t>{entries, consumed};
}

Result<std::vector<std::pair<uint64_t, std::string>>> get_merged_files(
    const std::string& kx_dir, const std::string& tokenizer) {
  std::vector<std::pair<uint64_t, std::string>> files;
  if (!is_valid_tokenizer_name(tokenizer)) return files;
  std::string dir = merged_dir(kx_dir, tokenizer);
  if (!is_dir(dir)) return files;
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(dir));
  for (auto& entry : entries) {
    auto number = merged_file_number(entry.name);
    if (number) files.emplace_back(*number, std::move(entry.path));
  }
  std::stable_sort(files.begin(), files.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return files;
}

Result<std::vector<std::string>> get_pid_files(const std::string& kx_dir,
                                               const std::string& tokenizer) {
  const std::string store = store_dir(kx_dir);
  if (!is_valid_tokenizer_name(tokenizer) || !is_dir(store)) return std::vector<std::string>{};
  return list_pid_files(store, tokenizer);
}

Status for_each_merged_entry(const std::string& kx_dir, const std::string& tokenizer,
                             const std::function<void(TokenIndexEntry&&)>& fn) {
  KX_ASSIGN_OR_RETURN(auto files, get_merged_files(kx_dir, tokenizer));
  for (const auto& [number, path] : files) {
    KX_ASSIGN_OR_RETURN(auto bytes, read_file_bytes(path));
    if (bytes) for_each_token_entry(bytes->view(), fn);
  }
  return {};
}

Result<std::vector<TokenIndexEntry>> read_merged(const std::string& kx_dir,
                                                 const std::string& tokenizer) {
  std::vector<TokenIndexEntry> entries;
  KX_TRY(for_each_merged_entry(
      kx_dir, tokenizer, [&](TokenIndexEntry&& entry) { entries.push_back(std::move(entry)); }));
  return entries;
}

Result<std::vector<std::string>> list_tokenizers(const std::string& kx_dir) {
  std::vector<std::string> names;
  std::string store = store_dir(kx_dir);
  if (!is_dir(store)) return names;
  KX_ASSIGN_OR_RETURN(auto entries, list_dir(store));
  for (const auto& entry : entries) {
    std::string name = utf8_lossy(entry.name);
    if (!name.starts_with(kPrefix)) continue;
    std::string rest = name.substr(kPrefix.size());
    auto info = stat_path(entry.path);
    if (!info) continue;
    if (info->directory && !rest.empty()) {
      names.push_back(std::move(rest));
    } else if (info->regular) {
      // Pid files and the binary index: the tokenizer is the part before the
      // last ".", so names holding "." are recognised.
      size_t dot = rest.rfind('.');
      if (dot != std::string::npos && dot > 0) names.push_back(rest.substr(0, dot));
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

Result<TokenStatus> token_status(const std::string& kx_dir, const std::string& tokenizer) {
  KX_ASSIGN_OR_RETURN(auto entries, read_merged(kx_dir, tokenizer));
  TokenStatus status;
  status.total_entries = entries.size();
  for (const auto& entry : entries) {
    if (entry.revoked) {
      ++status.revoked_entries;
      status.revoked_tokens += entry.token_count;
    } else {
      ++status.active_entries;
      status.active_tokens += entry.token_count;
    }
    status.total_tokens += entry.token_count;
  }
  return status;
}

}  // namespace token_index
}  // namespace kestrix
