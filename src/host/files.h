#pragma once

#include <optional>
#include <string>

namespace sidecar {

// All bytes of the file at `path`; nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

// The target of the symbolic link at `path`, as bytes; nothing when it cannot be read.
std::optional<std::string> read_link(const std::string& path);

}  // namespace sidecar
