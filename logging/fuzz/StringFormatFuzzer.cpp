// Fuzz entry point for the printf-style formatter: any format with any typed arguments formats
// without crashing, reading past the arguments or growing without bound, and the same input
// always gives the same text, into a string or into bounded storage.
//
// Input: one byte with the number of arguments (up to 7), then each argument as one kind byte
// and its payload (8 bytes for numbers; a length byte and that many bytes for a text), then the
// format.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "logging/DDFormatArgument.h"
#include "logging/DDLogObject.h"
#include "logging/DDStringFormat.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint64_t word() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
      v = (v << 8) | byte();
    return v;
  }
  std::string_view text(std::size_t n) {
    n = std::min(n, size_ - pos_);
    std::string_view t(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return t;
  }
  std::string_view rest() { return text(size_ - pos_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  const auto object = DDLogStringObject::make("object");
  std::vector<DDFormatArgument> args;
  std::size_t argumentText = 0;
  const int count = in.byte() % 8;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t kind = in.byte();
    const std::uint8_t widths[] = {1, 2, 4, 8};
    const std::uint8_t width = widths[(kind >> 4) & 3];
    switch (kind % 9) {
      case 0:
        args.push_back(DDFormatArgument::ofSigned(static_cast<std::int64_t>(in.word()), width));
        break;
      case 1:
        args.push_back(DDFormatArgument::ofUnsigned(in.word(), width));
        break;
      case 2: {
        double d;
        const std::uint64_t bits = in.word();
        std::memcpy(&d, &bits, sizeof d);
        args.push_back(DDFormatArgument::ofFloat(d, (kind & 0x10) ? 16 : 8));
        break;
      }
      case 3:
        args.push_back(DDFormatArgument::ofChar(static_cast<char>(in.byte())));
        break;
      case 4:
        args.push_back(DDFormatArgument::ofBool(in.byte() & 1));
        break;
      case 5: {
        const std::string_view t = in.text(in.byte());
        argumentText += t.size();
        args.push_back(DDFormatArgument::ofText(t));
        break;
      }
      case 6:
        args.push_back(DDFormatArgument::ofObject((kind & 0x10) ? object.get() : nullptr));
        break;
      case 7:
        args.push_back(DDFormatArgument::ofPointer(reinterpret_cast<const void*>(in.word())));
        break;
      default:
        args.push_back(DDFormatArgument::ofOwnedText(std::string(in.text(in.byte()))));
        break;
    }
  }
  const std::string_view format = in.rest();
  const std::string once = ddStringWithFormat(format, args);
  // The same input gives the same text, into a string or into bounded storage that spills over
  // (a record's own bytes), whatever the point where the storage runs out.
  char storage[64];
  std::string spill;
  DDFormatBuffer buffered(storage, format.size() % sizeof storage, spill);
  ddAppendFormat(buffered, format, args);
  require(buffered.text() == once);
  // Without a directive the format comes back as it is.
  if (format.find('%') == std::string_view::npos) require(once == format);
  // Every directive prints at most a capped field (or one argument's text, or itself): the
  // output stays proportional to the input.
  const std::size_t directives =
      static_cast<std::size_t>(std::count(format.begin(), format.end(), '%'));
  require(once.size() <=
          format.size() + directives * (2 * kMaxFieldWidth + 128 + argumentText + 6));
  return 0;
}
