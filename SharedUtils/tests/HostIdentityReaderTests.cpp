#include "SharedUtils/HostIdentityReader.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "SharedUtils/MacUtils.h"
#include "testsupport/NetworkNamespace.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

namespace fs = std::filesystem;
using std::nullopt;

// A directory tree standing in for "/", removed with everything in it at the end of the test.
class FakeRoot : public testsupport::TemporaryDirectory {
 public:
  void write(const fs::path& relative, std::string_view contents) const {
    fs::create_directories((path() / relative).parent_path());
    std::ofstream(path() / relative, std::ios::binary) << contents;
  }
  // An interface under sys/class/net; `device` adds the entry that marks real hardware.
  void addInterface(const std::string& name, int type, int index, std::string_view address,
                    bool device) const {
    const fs::path dir = fs::path("sys/class/net") / name;
    write(dir / "type", std::to_string(type) + "\n");
    write(dir / "ifindex", std::to_string(index) + "\n");
    if (!address.empty()) write(dir / "address", std::string(address) + "\n");
    if (device) fs::create_directories(path() / dir / "device");
  }
};

constexpr int kEther = 1, kLoopback = 772, kInfiniband = 32, kNone = 65534;

TEST(HostIdentityReaderTests, SystemUUIDIsTheTrimmedFileOrAbsent) {
  FakeRoot root;
  HostIdentityReader reader(root.path());
  EXPECT_EQ(reader.systemUUID(), nullopt);  // no file

  root.write("sys/class/dmi/id/product_uuid", " \n");
  EXPECT_EQ(reader.systemUUID(), nullopt);  // nothing in it

  root.write("sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f384d33\n");
  EXPECT_EQ(reader.systemUUID(), "4c4c4544-0042-3510-8052-b4c04f384d33");
}

TEST(HostIdentityReaderTests, PrimaryInterfaceIsThePhysicalEthernetOneWithTheLowestIndex) {
  FakeRoot root;
  HostIdentityReader reader(root.path());
  // No sys/class/net at all, then one with nothing that qualifies: zeros either way.
  EXPECT_EQ(formatMACAddress(reader.primaryMACAddress()), "00:00:00:00:00:00");
  root.addInterface("lo", kLoopback, 1, "00:00:00:00:00:00", false);
  root.addInterface("br0", kEther, 2, "02:00:00:00:00:02", false);  // virtual: no device
  root.addInterface("ib0", kInfiniband, 3, "80:00:00:48:fe:80", true);
  root.addInterface("tun0", kNone, 4, "", true);
  EXPECT_EQ(formatMACAddress(reader.primaryMACAddress()), "00:00:00:00:00:00");

  // The lowest index wins whatever the names' order, and letters come back in lower case.
  root.addInterface("wlp2s0", kEther, 9, "3C:22:FB:01:9A:7E", true);
  EXPECT_EQ(formatMACAddress(reader.primaryMACAddress()), "3c:22:fb:01:9a:7e");
  root.addInterface("aa0", kEther, 12, "aa:aa:aa:aa:aa:aa", true);
  root.addInterface("zz0", kEther, 5, "0a:1b:2c:3d:4e:5f", true);
  EXPECT_EQ(formatMACAddress(reader.primaryMACAddress()), "0a:1b:2c:3d:4e:5f");

  // A primary interface whose address cannot be read gives zeros rather than the next one.
  root.addInterface("eth0", kEther, 4, "", true);
  EXPECT_EQ(formatMACAddress(reader.primaryMACAddress()), "00:00:00:00:00:00");
}

TEST(HostIdentityReaderTests, MACAddressTextParsesLeniently) {
  EXPECT_EQ(formatMACAddress(parseMACAddress("3c:22:fb:01:9a:7e")), "3c:22:fb:01:9a:7e");
  // Short or broken text keeps what was read and leaves the rest zero.
  EXPECT_EQ(formatMACAddress(parseMACAddress("3c:22")), "3c:22:00:00:00:00");
  EXPECT_EQ(formatMACAddress(parseMACAddress("3c:22:xx:01:9a:7e")), "3c:22:00:00:00:00");
  EXPECT_EQ(formatMACAddress(parseMACAddress("3c:223:fb:01:9a:7e")), "3c:00:00:00:00:00");
  // Longer hardware addresses keep their first six bytes.
  EXPECT_EQ(formatMACAddress(parseMACAddress("01:02:03:04:05:06:07:08")), "01:02:03:04:05:06");
  EXPECT_EQ(formatMACAddress({0xff, 0xfe, 0x00, 0x10, 0x0a, 0xa0}), "ff:fe:00:10:0a:a0");
}

TEST(HostIdentityReaderTests, EnvironmentFileValueFollowsShellQuoting) {
  const std::string file =
      "# PRETTY_HOSTNAME=commented\n"
      "; PRETTY_HOSTNAME=also commented\n"
      "PRETTY_HOSTNAME_OLD=other key\n"
      "CHASSIS=laptop\n"
      "  PRETTY_HOSTNAME = \"Anna's \\\"Work\\\" Laptop \\n\"\r\n"
      "ICON_NAME=computer-laptop";
  EXPECT_EQ(environmentFileValue(file, "PRETTY_HOSTNAME"), "Anna's \"Work\" Laptop \\n");
  EXPECT_EQ(environmentFileValue(file, "ICON_NAME"), "computer-laptop");
  EXPECT_EQ(environmentFileValue(file, "DEPLOYMENT"), nullopt);
  EXPECT_EQ(environmentFileValue("K='a \"b\" \\c'\n", "K"), "a \"b\" \\c");
  EXPECT_EQ(environmentFileValue("K=a\\ b c\n", "K"), "a b");
  EXPECT_EQ(environmentFileValue("K=first\nK=second\n", "K"), "second");
  EXPECT_EQ(environmentFileValue("K=\n", "K"), "");
  EXPECT_EQ(environmentFileValue("K\n", "K"), nullopt);
}

TEST(HostIdentityReaderTests, HostNameLosesExactlyOneTrailingLocal) {
  EXPECT_EQ(hostNameWithoutLocalSuffix("macbook.local"), "macbook");
  EXPECT_EQ(hostNameWithoutLocalSuffix("macbook.local.lan"), "macbook.local.lan");
  EXPECT_EQ(hostNameWithoutLocalSuffix("macbook.local.local"), "macbook.local");
  EXPECT_EQ(hostNameWithoutLocalSuffix("macbook.LOCAL"), "macbook.LOCAL");
  EXPECT_EQ(hostNameWithoutLocalSuffix(".local"), "");
}

// The host name is per namespace, so the fallback is tested against a name set in a private one.
TEST(HostIdentityReaderTests, DeviceNameIsThePrettyNameElseTheHostName) {
  FakeRoot root;
  HostIdentityReader reader(root.path());
  std::string plain, withLabel, emptyPretty, pretty;
  const auto setHostName = [](std::string_view name) {
    ASSERT_EQ(sethostname(name.data(), name.size()), 0);
  };
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWUTS, {}, [&] {
    setHostName("macbook.local");
    plain = reader.deviceName();
    setHostName("macbook.local.lan");
    withLabel = reader.deviceName();
    root.write("etc/machine-info", "PRETTY_HOSTNAME=\n");
    emptyPretty = reader.deviceName();
    root.write("etc/machine-info", "PRETTY_HOSTNAME=\"Anna’s MacBook\"\n");
    pretty = reader.deviceName();
  });
  EXPECT_EQ(plain, "macbook");
  EXPECT_EQ(withLabel, "macbook.local.lan");
  EXPECT_EQ(emptyPretty, "macbook.local.lan");  // an empty pretty name counts as none
  EXPECT_EQ(pretty, "Anna’s MacBook");
}

TEST(HostIdentityReaderTests, MacUtilsAnswersFromThisHost) {
  const std::string mac = MacUtils::getMACAddress();
  EXPECT_TRUE(std::regex_match(mac, std::regex("([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
  EXPECT_FALSE(MacUtils::getDeviceName().empty());
  if (const auto uuid = MacUtils::getSystemUUID()) {
    EXPECT_EQ(uuid->find_first_of(" \n"), std::string::npos);
  }
}

}  // namespace
}  // namespace sharedutils
