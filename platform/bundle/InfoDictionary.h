#pragma once
// The executable's info dictionary: its identifier, short (marketing) version and build, fixed
// when the executable is built. An executable names its own with CS_INFO_DICTIONARY in one of its
// source files; one that does not is identified by its file name and carries the project's
// version and the build number the build was configured with.

#include <string>

namespace platform::bundle {

struct InfoDictionary {
  std::string identifier;
  std::string shortVersion;
  std::string build;

  // The running executable's dictionary.
  static const InfoDictionary& main();
};

// Registers the executable's dictionary during static initialisation (see CS_INFO_DICTIONARY).
struct InfoDictionaryRegistration {
  InfoDictionaryRegistration(const char* identifier, const char* shortVersion, const char* build);
};

}  // namespace platform::bundle

#define CS_INFO_DICTIONARY(identifier, shortVersion, build)                                   \
  static const ::platform::bundle::InfoDictionaryRegistration csInfoDictionaryRegistration_ { \
    identifier, shortVersion, build                                                           \
  }
