#include "platform/xpc/CborReader.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/Utf8.h"

namespace platform::xpc {

namespace {

using Json = nlohmann::json;
using enum CborCursor::Major;

// A half-precision float as a double: 1 sign bit, 5 exponent bits, 10 mantissa bits.
double halfToDouble(std::uint16_t half) {
  const int exponent = (half >> 10) & 0x1f;
  const int mantissa = half & 0x3ff;
  double value;
  if (exponent == 0) {
    value = std::ldexp(mantissa, -24);
  } else if (exponent == 31) {
    value = mantissa == 0 ? INFINITY : NAN;
  } else {
    value = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (half & 0x8000) ? -value : value;
}

class Reader {
 public:
  Reader(CborCursor& in, std::size_t depth) : in_(in), depth_(depth) {}

  std::optional<Json> read() {
    Json root;
    bool haveRoot = false;
    while (true) {
      // Close every container that has all its elements.
      while (!stack_.empty() && stack_.back().remaining == 0)
        stack_.pop_back();
      if (haveRoot && stack_.empty()) break;

      std::uint8_t major;
      std::uint8_t info;
      std::uint64_t argument;
      if (!in_.readHead(major, info, argument)) return std::nullopt;

      Frame* frame = stack_.empty() ? nullptr : &stack_.back();
      if (frame && frame->isMap && !frame->haveKey) {
        std::string_view key;
        if (major != kText || !in_.readText(argument, key)) return std::nullopt;
        frame->key.assign(key);
        frame->haveKey = true;
        continue;
      }

      Json value;
      std::uint64_t children = 0;
      switch (major) {
        case kUnsigned:
          value = argument;
          break;
        case kNegative:
          // -1 - argument must fit in a signed 64-bit integer.
          if (argument > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
          value = -1 - static_cast<std::int64_t>(argument);
          break;
        case kText: {
          std::string_view text;
          if (!in_.readText(argument, text)) return std::nullopt;
          value = std::string(text);
          break;
        }
        case kArray:
          // Each element takes at least one byte.
          if (argument > in_.left()) return std::nullopt;
          value = Json::array();
          children = argument;
          break;
        case kMap:
          // Each entry takes at least two bytes, a key and a value.
          if (argument > in_.left() / 2) return std::nullopt;
          value = Json::object();
          children = argument;
          break;
        case kSimple:
          if (!simpleValue(info, argument, value)) return std::nullopt;
          break;
        default:  // byte strings and tags
          return std::nullopt;
      }

      Json* placed;
      if (!frame) {
        root = std::move(value);
        placed = &root;
        haveRoot = true;
      } else if (!frame->isMap) {
        auto& array = frame->container->get_ref<Json::array_t&>();
        array.push_back(std::move(value));
        placed = &array.back();
        --frame->remaining;
      } else {
        auto& object = frame->container->get_ref<Json::object_t&>();
        auto [it, inserted] = object.emplace(std::move(frame->key), std::move(value));
        if (!inserted) return std::nullopt;  // duplicate key
        placed = &it->second;
        frame->key.clear();
        frame->haveKey = false;
        --frame->remaining;
      }
      // `placed` stays valid while its frame is open: the container that holds it only grows
      // again once this child is complete.
      if (children > 0) {
        if (depth_ + stack_.size() >= kMaxNestingDepth) return std::nullopt;
        stack_.push_back(Frame{placed, children, major == kMap, {}, false});
      } else if ((major == kArray || major == kMap) && depth_ + stack_.size() >= kMaxNestingDepth) {
        return std::nullopt;  // an empty container one level too deep is still too deep
      }
    }
    return root;
  }

 private:
  struct Frame {
    Json* container;
    std::uint64_t remaining;
    bool isMap;
    std::string key;
    bool haveKey;
  };

  // Major type 7: the additional information tells the float widths apart.
  static bool simpleValue(std::uint8_t info, std::uint64_t argument, Json& out) {
    switch (info) {
      case 20:
        out = false;
        return true;
      case 21:
        out = true;
        return true;
      case 22:
        out = nullptr;
        return true;
      case 25:
        out = halfToDouble(static_cast<std::uint16_t>(argument));
        return true;
      case 26: {
        float f;
        const auto bits = static_cast<std::uint32_t>(argument);
        std::memcpy(&f, &bits, sizeof f);
        out = static_cast<double>(f);
        return true;
      }
      case 27: {
        double d;
        std::memcpy(&d, &argument, sizeof d);
        out = d;
        return true;
      }
      default:
        return false;
    }
  }

  CborCursor& in_;
  const std::size_t depth_;
  std::vector<Frame> stack_;
};

}  // namespace

bool CborCursor::readUint(std::size_t size, std::uint64_t& out) {
  if (left() < size) return false;
  out = 0;
  for (std::size_t i = 0; i < size; ++i)
    out = (out << 8) | bytes_[pos_ + i];
  pos_ += size;
  return true;
}

bool CborCursor::readHead(std::uint8_t& major, std::uint8_t& info, std::uint64_t& argument) {
  if (left() < 1) return false;
  const std::uint8_t initial = bytes_[pos_++];
  major = initial >> 5;
  info = initial & 0x1f;
  if (info < 24) {
    argument = info;
    return true;
  }
  switch (info) {
    case 24:
      return readUint(1, argument);
    case 25:
      return readUint(2, argument);
    case 26:
      return readUint(4, argument);
    case 27:
      return readUint(8, argument);
    default:  // reserved (28-30) and indefinite lengths (31)
      return false;
  }
}

bool CborCursor::readText(std::uint64_t length, std::string_view& out) {
  if (length > left()) return false;
  std::string_view text(reinterpret_cast<const char*>(bytes_.data() + pos_),
                        static_cast<std::size_t>(length));
  if (!base::isValidUtf8(text)) return false;
  out = text;
  pos_ += static_cast<std::size_t>(length);
  return true;
}

std::optional<nlohmann::json> CborCursor::readItem(std::size_t depth) {
  // Most calls and replies carry no arguments: an empty array needs no reader.
  if (left() > 0 && bytes_[pos_] == 0x80 && depth < kMaxNestingDepth) {
    ++pos_;
    return Json::array();
  }
  return Reader(*this, depth).read();
}

std::optional<nlohmann::json> readCbor(std::span<const std::uint8_t> bytes) {
  CborCursor in(bytes);
  auto value = in.readItem();
  if (!value || in.left() != 0) return std::nullopt;
  return value;
}

}  // namespace platform::xpc
