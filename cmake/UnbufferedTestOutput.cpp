// Linked into every test executable: standard output is made unbuffered before any test runs, so
// that a test killed for hanging (or crashing) still shows everything it printed.

#include <cstdio>

namespace {

const bool kUnbuffered = [] {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  return true;
}();

}  // namespace
