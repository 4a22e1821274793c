#include "lib.h"

#include "fs.h"

namespace kestrix {

std::string store_dir(std::string_view kx_dir) { return path_join(kx_dir, ".kx"); }

std::string store_path(std::string_view kx_dir, std::string_view name) {
  return path_join(store_dir(kx_dir), name);
}

Status KxDir::init(const std::string& kx_dir) {
  for (const char* layer : {"authors", "sections", "document-index", "index"})
    KX_TRY(create_dirs(store_path(kx_dir, layer)));
  std::string log = store_path(kx_dir, "log");
  if (!stat_path(log)) KX_TRY(append_to_file(log, ""));
  return {};
}

}  // namespace kestrix
