#pragma once
// One typed argument of a printf-style format.
//
// The front end captures each argument of a log call into one of these (never through C varargs),
// so the formatter always knows what it was given and can never read past the end of the list or
// reinterpret a value as something it is not.
//
// An argument either borrows (a text view or an object pointer, valid for one log call, which is
// all the front end needs) or owns its text and object (what a stored message format keeps).

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "logging/DDLogObject.h"

class DDFormatArgument {
 public:
  enum class Kind : std::uint8_t { Signed, Unsigned, Float, Char, Bool, Text, Object, Pointer };

  // An absent text (a null C string) prints as this.
  static constexpr std::string_view kNullText = "(null)";

  constexpr DDFormatArgument() noexcept = default;

  static DDFormatArgument ofSigned(std::int64_t v, std::uint8_t width) noexcept {
    DDFormatArgument a(Kind::Signed, width);
    a.i_ = v;
    return a;
  }
  static DDFormatArgument ofUnsigned(std::uint64_t v, std::uint8_t width) noexcept {
    DDFormatArgument a(Kind::Unsigned, width);
    a.u_ = v;
    return a;
  }
  static DDFormatArgument ofFloat(long double v, std::uint8_t width) noexcept {
    DDFormatArgument a(Kind::Float, width);
    a.f_ = v;
    return a;
  }
  static DDFormatArgument ofChar(char c) noexcept {
    DDFormatArgument a(Kind::Char, 1);
    a.i_ = static_cast<unsigned char>(c);
    return a;
  }
  static DDFormatArgument ofBool(bool b) noexcept {
    DDFormatArgument a(Kind::Bool, 1);
    a.i_ = b ? 1 : 0;
    return a;
  }
  // Borrows `text`; the caller keeps it alive while the argument is used.
  static DDFormatArgument ofText(std::string_view text) noexcept {
    DDFormatArgument a(Kind::Text, 0);
    a.text_ = text;
    return a;
  }
  static DDFormatArgument ofOwnedText(std::string text) {
    DDFormatArgument a(Kind::Text, 0);
    a.owned_ = std::make_shared<const std::string>(std::move(text));
    a.text_ = *a.owned_;
    return a;
  }
  // Borrows `object` (may be null: prints "(null)").
  static DDFormatArgument ofObject(const DDLogObject* object) noexcept {
    DDFormatArgument a(Kind::Object, 0);
    a.object_ = object;
    return a;
  }
  static DDFormatArgument ofOwnedObject(std::shared_ptr<const DDLogObject> object) noexcept {
    DDFormatArgument a(Kind::Object, 0);
    a.object_ = object.get();
    a.ownedObject_ = std::move(object);
    return a;
  }
  static DDFormatArgument ofPointer(const void* p) noexcept {
    DDFormatArgument a(Kind::Pointer, sizeof(void*));
    a.p_ = p;
    return a;
  }

  Kind kind() const noexcept { return kind_; }
  // Size in bytes of the value's source type (integers and floats).
  std::uint8_t width() const noexcept { return width_; }
  std::int64_t signedValue() const noexcept { return i_; }
  std::uint64_t unsignedValue() const noexcept { return u_; }
  long double floatValue() const noexcept { return f_; }
  std::string_view text() const noexcept { return text_; }
  const DDLogObject* object() const noexcept { return object_; }
  const void* pointer() const noexcept { return p_; }
  bool isInteger() const noexcept {
    return kind_ == Kind::Signed || kind_ == Kind::Unsigned || kind_ == Kind::Char ||
           kind_ == Kind::Bool;
  }

  // The same argument, owning its text and object so that it may outlive what it was made from.
  DDFormatArgument owning() const;
  // What `%@` prints for this argument.
  std::string description() const;

 private:
  DDFormatArgument(Kind k, std::uint8_t w) noexcept : kind_(k), width_(w) {}

  Kind kind_ = Kind::Text;
  std::uint8_t width_ = 0;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
  const void* p_ = nullptr;
  long double f_ = 0;
  std::string_view text_;
  const DDLogObject* object_ = nullptr;
  std::shared_ptr<const std::string> owned_;
  std::shared_ptr<const DDLogObject> ownedObject_;
};

// A type that can give an object form of itself for `%@` (a member `ddLogObject()`).
template <class T>
concept DDLogObjectConvertible = requires(const T& v) {
  { v.ddLogObject() } -> std::convertible_to<std::shared_ptr<const DDLogObject>>;
};
// A type with a description text (a member `description()`).
template <class T>
concept DDLogDescribable = requires(const T& v) {
  { v.description() } -> std::convertible_to<std::string>;
};

// A smart pointer to an object (shared_ptr / unique_ptr of a DDLogObject).
template <class T>
concept DDLogObjectHandle = requires(const T& v) {
  { v.get() } -> std::convertible_to<const DDLogObject*>;
};

// Captures one value as a format argument, by its exact type. Texts and objects are borrowed:
// the result is valid while `value` lives (for a log call: until the end of the statement).
template <class T>
DDFormatArgument ddFormatArgument(const T& value) {
  using D = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<D, bool>) {
    return DDFormatArgument::ofBool(value);
  } else if constexpr (std::is_same_v<D, char>) {
    return DDFormatArgument::ofChar(value);
  } else if constexpr (std::is_enum_v<D>) {
    return ddFormatArgument(static_cast<std::underlying_type_t<D>>(value));
  } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
    return DDFormatArgument::ofSigned(value, sizeof(D));
  } else if constexpr (std::is_integral_v<D>) {
    return DDFormatArgument::ofUnsigned(value, sizeof(D));
  } else if constexpr (std::is_floating_point_v<D>) {
    return DDFormatArgument::ofFloat(value, sizeof(D));
  } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
    return DDFormatArgument::ofPointer(nullptr);
  } else if constexpr (std::is_convertible_v<const D&, const char*>) {
    const char* s = value;
    return DDFormatArgument::ofText(s ? std::string_view(s) : DDFormatArgument::kNullText);
  } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
    return DDFormatArgument::ofText(std::string_view(value));
  } else if constexpr (std::is_base_of_v<DDLogObject, D>) {
    return DDFormatArgument::ofObject(&value);
  } else if constexpr (DDLogObjectHandle<D>) {
    return DDFormatArgument::ofObject(value.get());
  } else if constexpr (std::is_pointer_v<D>) {
    return DDFormatArgument::ofPointer(static_cast<const void*>(value));
  } else if constexpr (DDLogObjectConvertible<D>) {
    return DDFormatArgument::ofOwnedObject(value.ddLogObject());
  } else if constexpr (DDLogDescribable<D>) {
    return DDFormatArgument::ofOwnedText(std::string(value.description()));
  } else {
    static_assert(sizeof(D) == 0,
                  "a log argument must be a number, bool, char, text, pointer, DDLogObject, or "
                  "offer ddLogObject() or description()");
  }
}
