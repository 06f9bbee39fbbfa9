#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sidecar {

// All bytes of the open file `fd` from its current offset to its end; nothing when a read fails.
std::optional<std::string> read_rest(int fd);

// All bytes of the file at `path`; nothing when it cannot be opened or read.
std::optional<std::string> read_whole_file(const std::string& path);

// The target of the symbolic link at `path`, as bytes; nothing when it cannot be read.
std::optional<std::string> read_link(const std::string& path);

// The type of the file system that holds `path` (statfs's magic number); nothing when unreadable.
std::optional<std::uint64_t> read_file_system_type(const std::string& path);

// The inode number of what `path` leads to, following symbolic links; nothing when unreadable.
std::optional<std::uint64_t> read_inode(const std::string& path);

// Whether the mount table open at `fd` (a process's mountinfo) has changed since it was last read:
// the kernel flags a change of the mount namespace to a reader that polls the table.
bool mount_table_changed(int fd);

// Whether the last failed open was refused for lack of descriptors, the process's or the system's.
bool out_of_descriptors(int error);

}  // namespace sidecar
