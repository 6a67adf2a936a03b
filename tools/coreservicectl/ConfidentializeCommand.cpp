// coreservicectl confidentialize
// A filter: reads text on standard input and writes each line back with its secrets masked, so a
// log excerpt or a captured message can be shared safely. Each line is masked on its own and
// written (and flushed) as soon as it is complete, so the tool also works at the end of a live
// pipe. Line endings are kept as they came: "\n", "\r\n", or none on a last unterminated line.
// Exit status 0; 1 when standard input cannot be read or standard output cannot be written;
// 2 for a usage error.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "SharedUtils/ConfidentialText.h"
#include "platform/base/ErrnoText.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

// Owns the line buffer that getline allocates and grows.
struct LineBuffer {
  char* data = nullptr;
  std::size_t capacity = 0;
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data); }
};

bool writeAll(std::string_view text) {
  if (text.empty()) return true;  // an empty view may have no data pointer at all
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

int runConfidentialize(const Invocation&) {
  LineBuffer buffer;
  for (;;) {
    const ssize_t length = ::getline(&buffer.data, &buffer.capacity, stdin);
    if (length < 0) break;

    std::string_view line(buffer.data, static_cast<std::size_t>(length));
    std::string_view ending;
    if (line.ends_with("\r\n")) {
      ending = "\r\n";
    } else if (line.ends_with('\n')) {
      ending = "\n";
    }
    line.remove_suffix(ending.size());
    if (!writeAll(sharedutils::confidentialized(line)) || !writeAll(ending) ||
        std::fflush(stdout) != 0) {
      std::fprintf(stderr, "coreservicectl confidentialize: cannot write output: %s\n",
                   platform::base::errnoText(errno).c_str());
      return 1;
    }
  }
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "coreservicectl confidentialize: cannot read input: %s\n",
                 platform::base::errnoText(errno).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

Command confidentializeCommand() {
  return {"confidentialize",
          {.summary = "Reads text on standard input and writes it back with its secrets masked.",
           .maxOperands = 0},
          &runConfidentialize};
}

}  // namespace coreservicectl
