#include "watchdog/linux/tracer.h"

#include <gtest/gtest.h>

#include "host/system.h"
#include "support/fake_root.h"

namespace sidecar {
namespace {

using namespace std::string_literals;

TEST(TracerLine, FirstNumberOnATracerLineDecides) {
  struct Case {
    std::string status;
    bool traced;
  };
  const Case cases[] = {
      {"Name:\tsidecar\nTracerPid:\t0\n", false},
      {"Name:\tsidecar\nTracerPid:\t1234\nUid:\t0\n", true},
      {"TracerPid:   +7\n", true},
      {"TracerPid:0\n", false},                   // glued value: no second piece
      {"TracerPid:9 \n", false},                  // the piece after the glued key is empty
      {"tracerpid:\t5\n", false},                 // letter case
      {" TracerPid:\t5\n", false},                // not at the start of the line
      {"TracerPid:\t-1\nTracerPid:\t9\n", true},  // malformed lines are skipped
      {"TracerPid:\t4294967296\nTracerPid:\t9\n", true},
      {"TracerPid:\tabc\nTracerPid:\t9\n", true},
      {"TracerPid:\t+\nTracerPid:\t9\n", true},
      {"TracerPid:\t++9\n", false},
      {"TracerPid:\t4294967295\n", true},
      {"TracerPid:\t0\nTracerPid:\t9\n", false},  // the first number decides
      {"TracerPid:\t12 and more\n", true},
      {"TracerPid:\t12\r\n", true},
      {"TracerPid:\t0\r\nTracerPid:\t9\r\n", false},
      {"TracerPid:\x0b\x0c"
       "5",
       true},  // vertical tab, form feed; no final line feed
      {"TracerPid:\u3000"
       "5\n",
       true},  // Unicode white space separates too
      {"TracerPid:\u00a0"
       "0\n",
       false},
      {"TracerPid:", false},
      {"", false},
      {"Name:\tx\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(status_shows_tracer(c.status), c.traced);
  }
}

TEST(IsTraced, OwnEntryInTracingStopThenTheStatusFile) {
  using Status = std::optional<StatusRecord>;
  Process own;
  own.state = RunState::from_letter(U't');
  EXPECT_TRUE(is_traced(&own, std::nullopt));  // no status file at all

  own.state = RunState::from_letter(U'T');
  EXPECT_FALSE(is_traced(&own, std::nullopt));
  const Status traced = parse_status("Name:\tsidecar\nTracerPid:\t77\n");
  EXPECT_TRUE(is_traced(&own, traced));
  EXPECT_TRUE(is_traced(nullptr, traced));
  EXPECT_FALSE(is_traced(nullptr, parse_status("Name:\tsidecar\nTracerPid:\t0\n")));
}

TEST(TracerLine, ANameOfAnyBytesDoesNotHideIt) {
  // The name is the status file's one free text; the kernel escapes line feeds in it.
  for (const std::string& name : {"side\xff\xfe"s
                                  "car",
                                  "\xe2\x80"s, "\xf0"s, "x\\nTracerPid:\t0"s}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(status_shows_tracer("Name:\t" + name + "\nState:\tR (running)\nTracerPid:\t77\n"));
    EXPECT_FALSE(status_shows_tracer("Name:\t" + name + "\nTracerPid:\t0\n"));
  }
}

}  // namespace
}  // namespace sidecar
