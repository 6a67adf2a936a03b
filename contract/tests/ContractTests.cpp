#include "contract/CoreServiceContract.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string fileText(const char* path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Clients built elsewhere call the daemon by these exact texts; any change breaks them.
TEST(CoreServiceContract, WireNamesAreExact) {
  EXPECT_EQ(coreservice::kServiceName, "com.tarvosys.mac.TarvoClient.CoreService");

  const auto& ping = coreservice::pingMethod();
  EXPECT_EQ(ping.selector, "pingWithCompletionHandler:");
  EXPECT_EQ(ping.typeEncoding, "v24@0:8@?16");
  EXPECT_EQ(ping.extendedTypeEncoding, "v24@0:8@?<v@?>16");

  const auto& status = coreservice::getStatusMethod();
  EXPECT_EQ(status.selector, "getStatusWithCompletionHandler:");
  EXPECT_EQ(status.typeEncoding, "v24@0:8@?16");
  EXPECT_EQ(status.extendedTypeEncoding, "v24@0:8@?<v@?@\"NSDictionary\">16");

  EXPECT_EQ(coreservice::kStatusDaemonKey, "daemon");
  EXPECT_EQ(coreservice::kStatusTimestampKey, "timestamp");
  EXPECT_EQ(coreservice::kStatusRunning, "running");
}

// The build copies the name into files that are not C++: the socket systemd binds for the
// daemon and the script behind `make run` must point where clients look.
TEST(CoreServiceContract, GeneratedFilesCarryTheServiceName) {
  const std::string name(coreservice::kServiceName);
  const std::string unit = fileText(CS_SOCKET_UNIT);
  EXPECT_NE(unit.find("\nListenSequentialPacket=/run/" + name + "\n"), std::string::npos) << unit;
  EXPECT_EQ(unit.find('@'), std::string::npos) << "an unfilled placeholder is left";

  const std::string script = fileText(CS_RUN_SCRIPT);
  EXPECT_NE(script.find("\nservice=" + name + "\n"), std::string::npos) << script;
  EXPECT_EQ(script.find("@CORESERVICE"), std::string::npos);
}

}  // namespace
