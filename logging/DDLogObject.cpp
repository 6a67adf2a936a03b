#include "logging/DDLogObject.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <typeinfo>

std::string ddTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

DDLogObject::~DDLogObject() = default;

std::string DDLogObject::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "literal" + string.
  std::string text = "<";
  text += ddTypeName(typeid(*this));
  text += ": ";
  text += address;
  text += ">";
  return text;
}

std::size_t DDLogObject::hash() const {
  return std::hash<const void*>{}(this);
}

bool DDLogObject::equal(const DDLogObject* a, const DDLogObject* b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  if (a->offersEquality() && b->offersEquality()) return a->isEqual(*b);
  return false;
}

std::size_t DDLogObject::hashOf(const DDLogObject* object) {
  if (object == nullptr) return 0;
  return object->hash();
}

bool DDLogStringObject::isEqual(const DDLogObject& other) const {
  const auto* o = dynamic_cast<const DDLogStringObject*>(&other);
  return o != nullptr && o->text_ == text_;
}
