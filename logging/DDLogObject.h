#pragma once
// The object a caller may attach to a record as its tag (also readable as the record's
// `representedObject`), and what `%@` prints for an object argument.
//
// An object may offer its own equality and hash; one that does not compares and hashes by
// identity, which is what a record's equality falls back to. Objects are immutable once shared:
// records hand them between threads without locks, so every operation here must be safe to call
// concurrently (they are const).

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

// The readable name of a type ("std::string", "MyClass"), or its mangled name when it cannot be
// demangled.
std::string ddTypeName(const std::type_info& type);

class DDLogObject {
 public:
  virtual ~DDLogObject();

  // The text `%@` prints. Default: "<" + the dynamic type name + ": 0x" + the address + ">".
  virtual std::string description() const;

  // Whether this object compares by value. When false, isEqual() and hash() use identity.
  virtual bool offersEquality() const { return false; }
  // Compared by value only when both objects offer equality; else by identity.
  virtual bool isEqual(const DDLogObject& other) const { return this == &other; }
  virtual std::size_t hash() const;

  // Equality as a record applies it: by the objects' own equality when both offer it,
  // else by identity; two absent objects are equal.
  static bool equal(const DDLogObject* a, const DDLogObject* b);
  // Hash as a record applies it: the object's own hash or its identity; 0 when absent.
  static std::size_t hashOf(const DDLogObject* object);
};

// A tag made of a text, compared by value. The common case for tags.
class DDLogStringObject final : public DDLogObject {
 public:
  explicit DDLogStringObject(std::string text) : text_(std::move(text)) {}
  static std::shared_ptr<const DDLogStringObject> make(std::string text) {
    return std::make_shared<const DDLogStringObject>(std::move(text));
  }

  const std::string& text() const { return text_; }
  std::string description() const override { return text_; }
  bool offersEquality() const override { return true; }
  bool isEqual(const DDLogObject& other) const override;
  std::size_t hash() const override { return std::hash<std::string_view>{}(text_); }

 private:
  std::string text_;
};

using DDLogObjectPtr = std::shared_ptr<const DDLogObject>;
