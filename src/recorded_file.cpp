// Matching record names to a data file; see recorded_file.h.
#include "recorded_file.h"

#include "fs.h"

namespace kestrix {

RecordedFile::RecordedFile(const std::string& kx_dir, const std::string& data_file)
    : project_(resolved_path(kx_dir)), resolved_(resolved_path(data_file)) {}

bool RecordedFile::named_by(std::string_view recorded) {
  std::string name(recorded);
  auto it = seen_.find(name);
  if (it != seen_.end()) return it->second;
  const bool same = !name.empty() && resolved_path(path_join(project_, name)) == resolved_;
  seen_.emplace(std::move(name), same);
  return same;
}

}  // namespace kestrix
