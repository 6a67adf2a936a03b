#pragma once
// One entry for the systemd journal, built field by field and sent in one datagram through
// sd_journal_sendv(). Values may hold any bytes, newlines included: the library frames them.
// Field names are upper-case letters, digits and underscores, not starting with an underscore
// (journald drops fields that break the rule).

#include <sys/uio.h>

#include <string>
#include <string_view>
#include <vector>

class DDJournalEntry {
 public:
  DDJournalEntry();
  void add(std::string_view name, std::string_view value);
  void add(std::string_view name, unsigned long long value);
  // Sends the entry; 0 on success, else a negative errno value.
  int send() const;

 private:
  std::vector<std::string> fields_;
};
