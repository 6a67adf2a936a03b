#include "platform/bundle/InfoDictionary.h"

#include <cerrno>
#include <mutex>
#include <optional>

#include "platform/base/NoDestructor.h"

#ifndef CS_BUNDLE_SHORT_VERSION
#define CS_BUNDLE_SHORT_VERSION "0.0.0"
#endif
#ifndef CS_BUNDLE_BUILD
#define CS_BUNDLE_BUILD "0"
#endif

namespace platform::bundle {

namespace {

// Written only during static initialisation (before main) by a registration, read afterwards.
// Never destroyed, like the dictionary itself: the logging exit flush may name files with it.
std::optional<InfoDictionary>& registered() {
  static base::NoDestructor<std::optional<InfoDictionary>> r;
  return *r;
}

}  // namespace

InfoDictionaryRegistration::InfoDictionaryRegistration(const char* identifier,
                                                       const char* shortVersion,
                                                       const char* build) {
  registered() = InfoDictionary{identifier, shortVersion, build};
}

const InfoDictionary& InfoDictionary::main() {
  static const base::NoDestructor<InfoDictionary> info([] {
    if (registered()) return *registered();
    const char* name = program_invocation_short_name;
    return InfoDictionary{name && *name ? name : "unknown", CS_BUNDLE_SHORT_VERSION,
                          CS_BUNDLE_BUILD};
  }());
  return *info;
}

}  // namespace platform::bundle
