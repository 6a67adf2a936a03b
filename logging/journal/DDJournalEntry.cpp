#include "logging/journal/DDJournalEntry.h"

// Without this the library adds this file's own location to every entry as CODE_FILE, CODE_LINE
// and CODE_FUNC, in place of the record's call site when the record has none.
#define SD_JOURNAL_SUPPRESS_LOCATION 1
#include <systemd/sd-journal.h>

DDJournalEntry::DDJournalEntry() {
  fields_.reserve(12);
}

void DDJournalEntry::add(std::string_view name, std::string_view value) {
  std::string field;
  field.reserve(name.size() + 1 + value.size());
  field.append(name).append("=").append(value);
  fields_.push_back(std::move(field));
}

void DDJournalEntry::add(std::string_view name, unsigned long long value) {
  add(name, std::string_view(std::to_string(value)));
}

int DDJournalEntry::send() const {
  std::vector<iovec> iov;
  iov.reserve(fields_.size());
  for (const auto& f : fields_)
    iov.push_back(iovec{const_cast<char*>(f.data()), f.size()});
  return sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}
