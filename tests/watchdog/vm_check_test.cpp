#include "watchdog/linux/vm_check.h"

#include <gtest/gtest.h>

#include "host/platform.h"
#include "support/fake_root.h"

namespace sidecar {
namespace {

TEST(MacIndicator, VendorPrefixesInEitherLetterCase) {
  struct Case {
    const char* text;
    std::optional<std::string_view> indicator;
  };
  const Case cases[] = {
      {"00:05:69:00:00:01", "mac_oui_vmware"},
      {"00:0C:29:AB:CD:EF", "mac_oui_vmware"},
      {"00:0c:29:ab:cd:ef", "mac_oui_vmware"},
      {"00:1C:14:00:00:01", "mac_oui_vmware"},
      {"00:50:56:c0:00:08", "mac_oui_vmware"},
      {"08:00:27:12:34:56", "mac_oui_vbox"},
      {"00:1C:42:00:00:01", "mac_oui_parallels"},
      {"00:1c:42:00:00:01", "mac_oui_parallels"},
      {"00:1C:43:00:00:01", std::nullopt},
      {"3C:52:82:10:AA:01", std::nullopt},
      {"08:00:2", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(mac_indicator(c.text), c.indicator);
  }
}

TEST(DmiIndicator, FirmwareWordsAnywhereTrimmedTextKeepsItsCase) {
  struct Case {
    const char* text;
    std::optional<std::string> indicator;
  };
  const Case cases[] = {
      {"VMware Virtual Platform\n", "dmi_product:VMware Virtual Platform"},
      {"VirtualBox\n", "dmi_product:VirtualBox"},
      {"QEMU\n", "dmi_product:QEMU"},
      {"  Standard PC (Q35 + ICH9, 2009) qemu \u3000\n",
       "dmi_product:Standard PC (Q35 + ICH9, 2009) qemu"},
      {"RHEV-KVMHost\n", "dmi_product:RHEV-KVMHost"},
      {"\u212AVM\n", "dmi_product:\u212AVM"},
      {"Dell Inc.\n", std::nullopt},
      {"Latitude 7440\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dmi_indicator("dmi_product:", c.text), c.indicator);
  }
}

class VmIndicatorsTest : public ::testing::Test {
 protected:
  testing::FakeRoot sys;
  Platform platform;
  std::vector<std::uint32_t> leaves_asked;

  void SetUp() override {
    platform.sys_root = sys.path();
    set_processor(1, false);
    set_card(MacAddress{{0x3c, 0x52, 0x82, 0x10, 0xaa, 0x01}});
  }
  void set_processor(std::uint32_t highest_leaf, bool hypervisor) {
    platform.cpuid = [this, highest_leaf, hypervisor](std::uint32_t leaf) {
      leaves_asked.push_back(leaf);
      CpuidLeaf result;
      if (leaf == 0) result.eax = highest_leaf;
      if (leaf == 1 && hypervisor) result.ecx = 0x80000000U | 0x1234U;
      return std::optional<CpuidLeaf>(result);
    };
  }
  void set_card(std::optional<MacAddress> address) {
    platform.mac_address = [address] { return address; };
  }
  std::vector<std::string> indicators() { return vm_indicators(platform); }
};

TEST_F(VmIndicatorsTest, APhysicalMachineHasNone) {
  sys.write("class/dmi/id/product_name", "Latitude 7440\n");
  sys.write("class/dmi/id/sys_vendor", "Dell Inc.\n");
  EXPECT_TRUE(indicators().empty());
  EXPECT_EQ(leaves_asked, (std::vector<std::uint32_t>{0, 1}));
}

TEST_F(VmIndicatorsTest, EveryProbeInItsOrder) {
  set_processor(0x16, true);
  set_card(MacAddress{{0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef}});
  sys.write("class/dmi/id/product_name", "VMware Virtual Platform\n");
  sys.write("class/dmi/id/sys_vendor", "VMware, Inc.\n");
  EXPECT_EQ(indicators(), (std::vector<std::string>{"cpuid_hypervisor", "mac_oui_vmware",
                                                    "dmi_product:VMware Virtual Platform",
                                                    "dmi_vendor:VMware, Inc."}));
}

TEST_F(VmIndicatorsTest, TheHypervisorBitAlone) {
  set_processor(1, true);
  EXPECT_EQ(indicators(), (std::vector<std::string>{"cpuid_hypervisor"}));
}

TEST_F(VmIndicatorsTest, ProbesThatCannotReadTheirSourceAddNothing) {
  // No leaf 1: the hypervisor bit is not read.
  set_processor(0, true);
  set_card(std::nullopt);
  sys.write("class/dmi/id/product_name/not-a-file", "");  // a folder: exists, cannot be read
  sys.write("class/dmi/id/sys_vendor", "QEMU\n");
  EXPECT_EQ(indicators(), (std::vector<std::string>{"dmi_vendor:QEMU"}));
  EXPECT_EQ(leaves_asked, (std::vector<std::uint32_t>{0}));

  // A processor without the instruction, firmware text that is not UTF-8.
  platform.cpuid = [](std::uint32_t) { return std::optional<CpuidLeaf>(); };
  sys.write("class/dmi/id/sys_vendor", "QEMU\xff\n");
  EXPECT_TRUE(indicators().empty());
}

TEST_F(VmIndicatorsTest, FirmwareFilesReachedThroughSymbolicLinks) {
  sys.write("devices/virtual/dmi/id/sys_vendor", "innotek GmbH VirtualBox\n");
  sys.link("class/dmi/id/sys_vendor", (sys.path() / "devices/virtual/dmi/id/sys_vendor").string());
  EXPECT_EQ(indicators(), (std::vector<std::string>{"dmi_vendor:innotek GmbH VirtualBox"}));
}

}  // namespace
}  // namespace sidecar
