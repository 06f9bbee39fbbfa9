#include "host/files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sidecar {

std::optional<std::string> read_rest(int fd) {
  std::string content;
  std::array<char, 4096> chunk;
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0) return std::nullopt;
    if (got == 0) return content;
    content.append(chunk.data(), static_cast<std::size_t>(got));
  }
}

std::optional<std::string> read_whole_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto content = read_rest(fd);
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

std::optional<std::uint64_t> read_file_system_type(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.f_type);
}

std::optional<std::uint64_t> read_inode(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_ino);
}

bool mount_table_changed(int fd) {
  pollfd watch{fd, POLLPRI, 0};
  return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLPRI | POLLERR)) != 0;
}

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace sidecar
