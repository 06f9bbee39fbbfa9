#include "host/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace sidecar {

std::optional<std::string> read_whole_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  std::array<char, 4096> chunk;
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0) {
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    content.append(chunk.data(), static_cast<std::size_t>(got));
  }
  close(fd);
  return content;
}

std::optional<std::string> read_link(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = readlink(path.c_str(), target.data(), target.size());
    if (got < 0) return std::nullopt;
    if (static_cast<std::size_t>(got) < target.size()) {
      target.resize(static_cast<std::size_t>(got));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace sidecar
