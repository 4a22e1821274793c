// The store directory <kx_dir>/.kx and the names inside it.
#pragma once

#include <string>
#include <string_view>

#include "error.h"

namespace kestrix {

// <kx_dir>/.kx
std::string store_dir(std::string_view kx_dir);
// <kx_dir>/.kx/<name>
std::string store_path(std::string_view kx_dir, std::string_view name);

struct KxDir {
  // Creates the store directory, its layers, the index directory and an
  // empty operation log; an existing store is left as it is.
  static Status init(const std::string& kx_dir);
};

}  // namespace kestrix
