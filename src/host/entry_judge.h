#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sidecar {

using Arguments = std::vector<std::string>;

// What a judge keeps of a program image: a few facts and a few bytes, whatever the length of the
// path and arguments they were drawn from. The table stores it and never looks inside.
class ImageVerdict {
 public:
  static constexpr std::size_t head_capacity = 29;

  // The image's own text holds something the judge looks for.
  bool listed = false;
  // What the name of the image's program file matches, as the judge numbers it; 0 for nothing.
  std::uint8_t program_match = 0;

  // The first bytes of the image's text, kept for matches that start in an entry's name and end
  // in the image: at most `head_capacity` of them.
  std::string_view head() const { return {head_bytes.data(), head_size}; }
  void set_head(std::string_view bytes) {
    head_size =
        static_cast<std::uint8_t>(bytes.size() < head_capacity ? bytes.size() : head_capacity);
    bytes.copy(head_bytes.data(), head_size);
  }

  friend bool operator==(const ImageVerdict& a, const ImageVerdict& b) {
    return a.listed == b.listed && a.program_match == b.program_match && a.head() == b.head();
  }

 private:
  std::array<char, head_capacity> head_bytes{};
  std::uint8_t head_size = 0;
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
