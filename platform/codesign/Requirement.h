#pragma once
// A code requirement: what the signer of some code must be for the code to be accepted.
//
// The text is one or more clauses joined by the word "and":
//
//   anchor apple generic                 the signer's chain ends at one of the platform's trust
//                                        anchors; on this system that is the anchor bundle the
//                                        verifier uses (the product's installed bundle unless a
//                                        caller names another)
//   certificate leaf[subject.OU] = "X"   the signer's own certificate has exactly one
//                                        organisational unit in its subject, and it is X (the
//                                        developer team); subject.O and subject.CN likewise
//
// Every check verifies the signer's chain against the anchors whether or not the text says so;
// the anchor clause states it. Values are double-quoted (a backslash escapes a quote or a
// backslash) or bare words of letters, digits, '.', '-' and '_'; blanks separate the tokens.
// Anything else is refused with kRequirementSyntax.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codesign/CodeSigningStatus.h"
#include "platform/codesign/SigningInformation.h"

namespace platform::codesign {

class Requirement;

struct RequirementResult {
  Status status = kSuccess;
  std::unique_ptr<Requirement> requirement;
};

class Requirement {
 public:
  Requirement(const Requirement&) = delete;
  Requirement& operator=(const Requirement&) = delete;

  const std::string& text() const { return text_; }
  // True when the signer described by `signer` (whose chain was verified) satisfies every
  // clause.
  bool isSatisfiedBy(const SigningInformation& signer) const;

 private:
  friend RequirementResult createRequirementWithString(std::string_view text);
  struct SubjectCondition {
    SubjectField field;
    std::string value;
  };
  explicit Requirement(std::string text) : text_(std::move(text)) {}

  std::string text_;
  std::vector<SubjectCondition> conditions_;
};

// Reads a requirement text. kSuccess with the requirement, or kRequirementSyntax.
RequirementResult createRequirementWithString(std::string_view text);

}  // namespace platform::codesign
