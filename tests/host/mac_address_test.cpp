#include "host/mac_address.h"

#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <deque>
#include <vector>

namespace sidecar {
namespace {

// A hand-built interface list, linked in the order records are added.
class InterfaceList {
 public:
  void link_layer(const char* name, std::vector<std::uint8_t> bytes, unsigned halen,
                  unsigned flags = IFF_UP) {
    sockaddr_ll& address = links.emplace_back();
    address.sll_family = AF_PACKET;
    address.sll_halen = static_cast<unsigned char>(halen);
    std::copy(bytes.begin(), bytes.end(), address.sll_addr);
    add(name, reinterpret_cast<sockaddr*>(&address), flags);
  }
  void internet(const char* name) {
    sockaddr_in& address = inets.emplace_back();
    address.sin_family = AF_INET;
    add(name, reinterpret_cast<sockaddr*>(&address), IFF_UP);
  }
  void without_address(const char* name) { add(name, nullptr, IFF_UP); }

  const ifaddrs* head() const { return records.empty() ? nullptr : &records.front(); }

 private:
  void add(const char* name, sockaddr* address, unsigned flags) {
    ifaddrs& record = records.emplace_back();
    record.ifa_name = const_cast<char*>(name);
    record.ifa_flags = flags;
    record.ifa_addr = address;
    if (records.size() > 1) records[records.size() - 2].ifa_next = &record;
  }
  std::deque<sockaddr_ll> links;
  std::deque<sockaddr_in> inets;
  std::deque<ifaddrs> records;
};

TEST(PickMacAddress, FirstLinkLayerAddressThatIsNotAllZero) {
  InterfaceList loopback_only;
  loopback_only.link_layer("lo", {0, 0, 0, 0, 0, 0}, 6);
  loopback_only.internet("lo");
  EXPECT_EQ(pick_mac_address(loopback_only.head()), std::nullopt);
  EXPECT_EQ(pick_mac_address(nullptr), std::nullopt);

  InterfaceList ethernet;
  ethernet.link_layer("lo", {0, 0, 0, 0, 0, 0}, 6);
  ethernet.without_address("tun0");
  ethernet.internet("eth0");
  ethernet.link_layer("eth0", {0x08, 0x00, 0x27, 0x12, 0x34, 0x56}, 6);
  ethernet.link_layer("eth1", {0x3c, 0x52, 0x82, 0x10, 0xaa, 0x01}, 6);
  const auto address = pick_mac_address(ethernet.head());
  ASSERT_TRUE(address);
  EXPECT_EQ(address->to_string(), "08:00:27:12:34:56");

  // Interfaces that are down count, and names play no part.
  InterfaceList down_first;
  down_first.link_layer("wlan9", {0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef}, 6, 0);
  down_first.link_layer("eth0", {0x3c, 0x52, 0x82, 0x10, 0xaa, 0x01}, 6);
  EXPECT_EQ(pick_mac_address(down_first.head())->to_string(), "00:0C:29:AB:CD:EF");

  // The stated length is not consulted.
  InterfaceList short_length;
  short_length.link_layer("sit0", {0, 0, 0, 0, 0, 0}, 4);
  short_length.link_layer("ipip", {0x0a, 0x00, 0x00, 0x01, 0x00, 0x00}, 4);
  EXPECT_EQ(pick_mac_address(short_length.head())->to_string(), "0A:00:00:01:00:00");
}

TEST(MacAddressText, TwoUpperCaseDigitsPerByte) {
  EXPECT_EQ((MacAddress{{0x0c, 0x00, 0xff, 0xa0, 0x09, 0x1b}}).to_string(), "0C:00:FF:A0:09:1B");
}

TEST(GetMacAddress, AnswersOnThisMachineAsTheKernelListsIt) {
  // The first card in the order getifaddrs gives them whose address is not all zeros.
  const auto address = get_mac_address();
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  EXPECT_EQ(address, pick_mac_address(list));
  freeifaddrs(list);
}

}  // namespace
}  // namespace sidecar
