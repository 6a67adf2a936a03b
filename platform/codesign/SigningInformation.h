#pragma once
// What a successful check learnt about the signer of some code.

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace platform::codesign {

// The subject fields a requirement can name.
enum class SubjectField : std::uint8_t { CommonName, Organization, OrganizationalUnit };

struct SigningInformation {
  // The signer certificate's subject, in its own order, as UTF-8 texts.
  std::vector<std::pair<SubjectField, std::string>> subject;
  // The span in which every certificate of the verified chain is valid.
  std::time_t validFrom = 0;
  std::time_t validUntil = 0;

  // The values the subject holds for `field`, in order.
  std::vector<std::string> values(SubjectField field) const {
    std::vector<std::string> out;
    for (const auto& [f, v] : subject)
      if (f == field) out.push_back(v);
    return out;
  }
  // The developer team: the subject's one organisational unit; empty when it has none or more
  // than one.
  std::string teamIdentifier() const {
    auto units = values(SubjectField::OrganizationalUnit);
    return units.size() == 1 ? units.front() : std::string();
  }
};

}  // namespace platform::codesign
