#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sidecar {

using Arguments = std::vector<std::string>;

// What a judge keeps of a program image: a few bytes, whatever the length of the path and
// arguments they were drawn from. The table stores it and never looks inside.
class ImageVerdict {
 public:
  static constexpr std::size_t capacity = 31;

  ImageVerdict() = default;
  // The first `capacity` bytes of `bytes`.
  explicit ImageVerdict(std::string_view bytes)
      : size(static_cast<std::uint8_t>(bytes.size() < capacity ? bytes.size() : capacity)) {
    bytes.copy(stored.data(), size);
  }

  std::string_view view() const { return {stored.data(), size}; }
  friend bool operator==(const ImageVerdict& a, const ImageVerdict& b) {
    return a.view() == b.view();
  }

 private:
  std::array<char, capacity> stored{};
  std::uint8_t size = 0;
};

// What a judge concluded from an entry's name and its image's verdict; opaque to the table.
using EntryVerdict = std::uint32_t;

// Reduces what an entry runs to what the checks need of it, once per change: the table calls it
// when it captures a program image and when an entry's name or image changes, and keeps only the
// results. Given to the table by its owner; it must outlive the table.
class EntryJudge {
 public:
  virtual ~EntryJudge() = default;
  // `exe` is the executable path as the kernel gives it (any bytes), null when unreadable;
  // `arguments` are valid UTF-8.
  virtual ImageVerdict judge_image(const std::string* exe, const Arguments& arguments) const = 0;
  // `image` is null while no image has been captured for the entry (kernel threads, say);
  // `own_image` tells whether it is the entry's own (a process's) or its process's (a thread's).
  virtual EntryVerdict judge_entry(std::string_view name, const ImageVerdict* image,
                                   bool own_image) const = 0;
};

}  // namespace sidecar
