// The main() of test programs that run inside the network sandbox.
#include <gtest/gtest.h>

#include "platform/network/tests/NetworkSandbox.h"

int main(int argc, char** argv) {
  platform::network::testing::enterSandbox();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
