#include "daemon/InfoDictionary.h"

std::string infoValueOrNA(const std::optional<InfoDictionary>& info, std::string_view key) {
  if (!info) return "N/A";
  auto it = info->find(key);
  return it == info->end() ? std::string("N/A") : it->second;
}
