#include "logging/DDFormatArgument.h"

#include <charconv>
#include <cstdio>

DDFormatArgument DDFormatArgument::owning() const {
  switch (kind_) {
    case Kind::Text:
      if (owned_) return *this;
      return ofOwnedText(std::string(text_));
    case Kind::Object:
      if (ownedObject_ || object_ == nullptr) return *this;
      // A borrowed object cannot be kept alive from a raw pointer; keep what it prints instead.
      return ofOwnedText(object_->description());
    default:
      return *this;
  }
}

std::string DDFormatArgument::description() const {
  char buf[64];
  switch (kind_) {
    case Kind::Signed: {
      auto r = std::to_chars(buf, buf + sizeof buf, i_);
      return std::string(buf, r.ptr);
    }
    case Kind::Unsigned: {
      auto r = std::to_chars(buf, buf + sizeof buf, u_);
      return std::string(buf, r.ptr);
    }
    case Kind::Float: {
      // Shortest text that reads back as the same value of the argument's own type.
      std::to_chars_result r;
      if (width_ == sizeof(float)) {
        r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(f_));
      } else if (width_ == sizeof(double)) {
        r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(f_));
      } else {
        r = std::to_chars(buf, buf + sizeof buf, f_);
      }
      if (r.ec != std::errc()) return std::to_string(static_cast<double>(f_));
      return std::string(buf, r.ptr);
    }
    case Kind::Char:
      return std::string(1, static_cast<char>(i_));
    case Kind::Bool:
      return i_ ? "true" : "false";
    case Kind::Text:
      return std::string(text_);
    case Kind::Object:
      return object_ ? object_->description() : std::string(kNullText);
    case Kind::Pointer:
      std::snprintf(buf, sizeof buf, "%p", p_);
      return buf;
  }
  return {};
}
