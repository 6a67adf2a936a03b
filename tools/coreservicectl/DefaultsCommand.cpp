// coreservicectl defaults: read, write, delete and watch keys of a defaults domain.
//
//   coreservicectl defaults [--dir DIR] read <domain> [<key>]
//   coreservicectl defaults [--dir DIR] write <domain> <key> <type> <value>
//   coreservicectl defaults [--dir DIR] delete <domain> <key>
//   coreservicectl defaults [--dir DIR] watch <domain> [<key>]
//
// Domains live where the library puts them (/var/lib/<domain> for root, else
// $XDG_CONFIG_HOME/<domain>), or in DIR/<domain> with --dir. Values print as "<type> <text>"
// (the same text `write` accepts), so what `read` prints can be written back. `watch` prints one
// line per change, "<key>: <old> -> <new>" with "(none)" for an absent value, until SIGINT or
// SIGTERM, then exits with status 0. Reading a domain that does not exist is an error (status 1);
// deleting from one does nothing; neither creates it.
//
// Keys and values are whatever some process stored, control characters included. Printed as they
// are on a terminal, an escape sequence in a value would act on the reader's terminal and a line
// break would pass for another entry, so on a terminal they are shown as the daemon's replies are
// (terminalSafe: control and bidirectional characters and invalid UTF-8 as escapes, backslashes
// doubled). Into a pipe or a file the text goes unchanged, so that what `read` prints can still be
// written back byte for byte.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "platform/defaults/Domain.h"
#include "tools/coreservicectl/Commands.h"
#include "tools/coreservicectl/CoreServiceReplies.h"

namespace coreservicectl {

namespace {

using platform::defaults::Domain;
using platform::defaults::formatValueText;

using Args = std::vector<std::string>;

bool validDomainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The text as it is printed on standard output (see the top of this file).
std::string shown(const std::string& text) {
  static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  return terminal ? terminalSafe(text) : text;
}

std::string describe(const std::optional<platform::defaults::Value>& v) {
  return v ? shown(formatValueText(*v)) : std::string("(none)");
}

int unavailable(const Domain& d) {
  std::fprintf(stderr, "coreservicectl defaults: cannot use the domain \"%s\" at %s\n",
               d.name().c_str(), d.databasePath().c_str());
  return 1;
}

// Checks an action's operands, and parses the value to write, before any domain is opened: a
// mistyped command creates nothing. Returns the exit status of a refusal, or nothing when the
// operands are good.
std::optional<int> refusal(const Invocation& invocation, const std::string& verb, const Args& rest,
                           std::optional<platform::defaults::Value>& value) {
  if (verb == "read" && rest.size() > 1)
    return usageError(invocation, "read takes a domain and at most one key");
  if (verb == "delete" && rest.size() != 1)
    return usageError(invocation, "delete takes a domain and a key");
  if (verb == "watch" && rest.size() > 1)
    return usageError(invocation, "watch takes a domain and at most one key");
  // The empty key is how an observer asks for every key: a value stored under it could not be
  // watched on its own, and an empty key is most often an unset shell variable.
  if (!rest.empty() && rest[0].empty()) return usageError(invocation, "a key cannot be empty");
  if (verb != "write") return std::nullopt;
  if (rest.size() != 3)
    return usageError(invocation, "write takes a domain, a key, a type and a value");
  const auto kind = platform::defaults::kindFromName(rest[1]);
  if (!kind) {
    return usageError(invocation,
                      "unknown type \"%s\" (bool int uint double string date data map datalist)",
                      rest[1].c_str());
  }
  value = platform::defaults::parseValueText(*kind, rest[2]);
  if (!value) {
    std::fprintf(stderr, "coreservicectl defaults: \"%s\" is not a valid %s\n", rest[2].c_str(),
                 rest[1].c_str());
    return 2;
  }
  return std::nullopt;
}

int read(Domain& d, const Args& rest) {
  if (!d.isAvailable()) return unavailable(d);
  if (rest.empty()) {
    for (const auto& [key, value] : d.entries()) {
      std::printf("%s = %s\n", shown(key).c_str(), shown(formatValueText(value)).c_str());
    }
    return 0;
  }
  auto v = d.object(rest[0]);
  if (!v) {
    std::fprintf(stderr, "coreservicectl defaults: the domain \"%s\" has no key \"%s\"\n",
                 d.name().c_str(), rest[0].c_str());
    return 1;
  }
  std::printf("%s\n", shown(formatValueText(*v)).c_str());
  return 0;
}

int write(Domain& d, const Args& rest, const platform::defaults::Value& value) {
  if (!d.isAvailable()) return unavailable(d);
  return d.set(rest[0], value) ? 0 : 1;
}

int remove(Domain& d, const Args& rest) {
  if (!d.isAvailable()) return unavailable(d);
  return d.remove(rest[0]) ? 0 : 1;
}

int watch(Domain& d, const Args& rest) {
  if (!d.isAvailable()) return unavailable(d);
  // The signals are taken synchronously by this thread; the domain's threads block them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal is discarded even
  // while blocked; restore the default so that sigwait below receives it.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  std::mutex out;
  const auto id = d.addObserver(
      rest.empty() ? std::string() : rest[0], [&out](const platform::defaults::Change& c) {
        std::lock_guard lock(out);
        std::printf("%s: %s -> %s\n", shown(c.key).c_str(), describe(c.oldValue).c_str(),
                    describe(c.newValue).c_str());
        std::fflush(stdout);
      });
  std::fprintf(stderr, "coreservicectl defaults: watching \"%s\"\n", d.name().c_str());
  int signo = 0;
  sigwait(&stop, &signo);
  d.removeObserver(id);
  return 0;
}

int runDefaults(const Invocation& invocation) {
  Args rest = invocation.operands();
  const std::string verb = rest[0];
  const std::string name = rest[1];
  rest.erase(rest.begin(), rest.begin() + 2);
  if (verb != "read" && verb != "write" && verb != "delete" && verb != "watch") {
    return usageError(invocation, "unknown action '%s' (read, write, delete, watch)", verb.c_str());
  }
  if (!validDomainName(name)) {
    std::fprintf(stderr, "coreservicectl defaults: invalid domain name \"%s\"\n", name.c_str());
    return 2;
  }
  std::optional<platform::defaults::Value> value;
  if (const auto status = refusal(invocation, verb, rest, value)) return *status;
  const auto dir = invocation.value("dir");
  const auto directory =
      (dir ? std::filesystem::path(*dir) : Domain::defaultBaseDirectory()) / name;
  // Opening a domain creates it. A read or delete of a domain nobody has written (a mistyped
  // name or directory) must not leave one behind, and a read must not pass for an empty domain.
  std::error_code error;
  if ((verb == "read" || verb == "delete") && !std::filesystem::is_directory(directory, error)) {
    if (verb == "delete") return 0;  // the key is absent, as asked
    std::fprintf(stderr, "coreservicectl defaults: the domain \"%s\" does not exist at %s\n",
                 name.c_str(), directory.c_str());
    return 1;
  }
  auto domain = Domain::open(name, directory);
  if (verb == "read") return read(*domain, rest);
  if (verb == "write") return write(*domain, rest, *value);
  if (verb == "delete") return remove(*domain, rest);
  return watch(*domain, rest);
}

}  // namespace

Command defaultsCommand() {
  return {
      "defaults",
      {.summary = "Reads, changes and watches settings domains.",
       .operands = "read|write|delete|watch <domain> [<key> [<type> <value>]]",
       .options = {{"dir", 'd', "DIR", "the directory that holds the domains"}},
       .minOperands = 2,
       .maxOperands = 5,
       // A value may look like an option ("-5"): options come before the action.
       .optionsFirst = true,
       .details = "  read <domain> [<key>]               prints one value, or every key and value\n"
                  "  write <domain> <key> <type> <value>  sets a value\n"
                  "  delete <domain> <key>                removes a key\n"
                  "  watch <domain> [<key>]               prints each change until interrupted\n"
                  "\n"
                  "types: bool int uint double string date data map datalist\n"
                  "Values print as \"<type> <text>\", the text write accepts.\n"},
      &runDefaults};
}

}  // namespace coreservicectl
