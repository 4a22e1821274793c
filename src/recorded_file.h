// Whether a document record names a given data file.  Records name their
// file as the tracker was given it, relative to the project directory (or
// absolute); a data file named by a command may be spelt another way (with
// "./", through a link, absolute).  Both sides are resolved, the record's
// name against the project directory, and compared; each distinct name is
// resolved once.  Not thread-safe: one matcher per thread.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace kestrix {

class RecordedFile {
 public:
  RecordedFile(const std::string& kx_dir, const std::string& data_file);
  bool named_by(std::string_view recorded);

 private:
  std::string project_;   // resolved project directory
  std::string resolved_;  // the data file, resolved
  std::unordered_map<std::string, bool> seen_;
};

}  // namespace kestrix
