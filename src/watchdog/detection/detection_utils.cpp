#include "watchdog/detection/detection_utils.h"

#include <string.h>

#include <algorithm>
#include <array>

#include "base/lowercase.h"
#include "base/utf8.h"
#include "host/system.h"

namespace sidecar {
namespace {

struct CataloguePattern {
  std::string_view pattern;
  std::string_view label;
};

constexpr std::array<CataloguePattern, 18> catalogue = {{
    {"gdb", "Debugger"},
    {"lldb", "Debugger"},
    {"ollydbg", "Debugger"},
    {"x64dbg", "Debugger"},
    {"ida64", "Debugger"},
    {"wireshark", "Packet Analyzer"},
    {"fiddler", "Packet Analyzer"},
    {"obs", "Screen Recorder"},
    {"zoom", "Conferencing Tool"},
    {"teams", "Conferencing Tool"},
    {"discord", "Conferencing Tool"},
    {"quicktime", "Screen Recorder"},
    {"ffmpeg", "Media Tool"},
    {"wf-recorder", "Screen Recorder"},
    {"vmtoolsd", "VM Tool"},
    {"vboxservice", "VM Tool"},
    {"prl_cc", "Parallels Tools"},
    {"prl_tools", "Parallels Tools"},
}};

constexpr std::array<std::string_view, 18> denylist = {
    "cluely",
    "interview coder",
    "interviewcoder",
    "open-interview-coder",
    "leetcode wizard",
    "leetcodewizard",
    "lockedin ai",
    "lockedinai",
    "final round ai",
    "finalround",
    "interview sidekick",
    "interviewsidekick",
    "ultracode",
    "parakeet",
    "shadecoder",
    "free-cluely",
    "ghostly",
    "invisible interview",
};

constexpr std::size_t longest_term = [] {
  std::size_t longest = 0;
  for (const auto term : denylist) longest = std::max(longest, term.size());
  return longest;
}();

bool contains_term(std::string_view text) {
  // Arguments can be long (a few hundred kilobytes): the C library's search skips through them
  // where a plain find stops at every letter that starts a term.
  for (const auto term : denylist) {
    if (memmem(text.data(), text.size(), term.data(), term.size()) != nullptr) return true;
  }
  return false;
}

// An image's verdict keeps the first bytes of its match text: a term that starts in an entry's
// name ends within its own length of the image text's start, so those bytes are all a name needs
// to be matched across.
constexpr std::size_t image_head = longest_term - 1;
static_assert(image_head <= ImageVerdict::head_capacity);

// An entry's verdict: the catalogue pattern its name (or a process's program file) matches, plus
// one (0 for none), and a flag for a denylist match.
constexpr EntryVerdict catalogue_mask = 0xFF;
constexpr EntryVerdict denylist_flag = 0x100;
static_assert(catalogue.size() < catalogue_mask);

// The last component of an executable path, as the kernel gives it (" (deleted)" and all).
std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class RulesJudge final : public EntryJudge {
 public:
  ImageVerdict judge_image(const std::string* exe, const Arguments& arguments) const override {
    ImageVerdict verdict;
    std::string text;
    if (exe) {
      const std::string path = to_utf8_lossy(*exe);
      if (const auto index = DetectionUtils::catalogue_match(file_name(path))) {
        verdict.program_match = static_cast<std::uint8_t>(*index + 1);
      }
      text += ' ';
      append_lowercase_for_matching(text, path);
    }
    if (!arguments.empty()) {
      text += ' ';
      for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i != 0) text += ' ';
        append_lowercase_for_matching(text, arguments[i]);
      }
    }
    verdict.listed = contains_term(text);
    verdict.set_head(std::string_view(text).substr(0, image_head));
    return verdict;
  }

  EntryVerdict judge_entry(std::string_view name, const ImageVerdict* image,
                           bool own_image) const override {
    EntryVerdict verdict = 0;
    if (const auto index = DetectionUtils::catalogue_match(name)) {
      verdict = static_cast<EntryVerdict>(*index + 1);
    } else if (own_image && image) {
      // A renamed program is still the file it runs; a thread is judged by its own name.
      verdict = image->program_match;
    }
    bool listed = image && image->listed;
    if (!listed) {
      std::string text;
      text.reserve(name.size() + image_head);
      append_lowercase_for_matching(text, name);
      if (image) text += image->head();
      listed = contains_term(text);
    }
    return listed ? verdict | denylist_flag : verdict;
  }
};

}  // namespace

std::optional<std::size_t> DetectionUtils::catalogue_match(std::string_view name) {
  std::string lowered;
  lowered.reserve(name.size());
  append_lowercase_for_matching(lowered, name);
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    if (lowered.find(catalogue[i].pattern) != std::string::npos) return i;
  }
  return std::nullopt;
}

const EntryJudge& DetectionUtils::judge() {
  static const RulesJudge rules;
  return rules;
}

bool DetectionUtils::denylist_match(std::string_view name, const std::string* exe,
                                    const std::vector<std::string>& arguments) {
  const ImageVerdict image = judge().judge_image(exe, arguments);
  return (judge().judge_entry(name, &image, true) & denylist_flag) != 0;
}

std::vector<SuspiciousProcessPayload> DetectionUtils::check_suspicious_processes(
    std::span<const Process* const> entries) {
  std::vector<SuspiciousProcessPayload> records;
  for (const Process* entry : entries) {
    const EntryVerdict pattern = entry->verdict & catalogue_mask;
    if (pattern == 0 || pattern > catalogue.size()) continue;
    records.push_back({static_cast<std::uint32_t>(entry->pid), entry->name,
                       std::string(catalogue[pattern - 1].label)});
  }
  return records;
}

std::vector<AiAssistantMatch> DetectionUtils::check_ai_assistants(
    std::span<const Process* const> entries) {
  std::vector<AiAssistantMatch> matches;
  for (const Process* entry : entries) {
    if ((entry->verdict & denylist_flag) != 0) {
      matches.push_back({static_cast<std::uint32_t>(entry->pid), entry->name});
    }
  }
  return matches;
}

}  // namespace sidecar
