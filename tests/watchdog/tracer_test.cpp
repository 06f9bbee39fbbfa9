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
  using Status = std::optional<std::string>;
  Process own;
  own.state = RunState::from_letter(U't');
  EXPECT_TRUE(is_traced(&own, std::nullopt));  // no status file at all

  own.state = RunState::from_letter(U'T');
  EXPECT_FALSE(is_traced(&own, std::nullopt));
  const Status traced = "Name:\tsidecar\nTracerPid:\t77\n";
  EXPECT_TRUE(is_traced(&own, traced));
  EXPECT_TRUE(is_traced(nullptr, traced));

  // A name that is not UTF-8 does not hide the tracer line.
  EXPECT_TRUE(is_traced(nullptr, Status("Name:\tside\xff\xfe"
                                        "car\nState:\tR (running)\nTracerPid:\t77\n"s)));
  EXPECT_FALSE(is_traced(nullptr, Status("Name:\tside\xff"
                                         "car\nTracerPid:\t0\n"s)));
}

}  // namespace
}  // namespace sidecar
