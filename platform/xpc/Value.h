#pragma once
// The value type of the IPC layer's calls and replies, declared without the JSON library itself:
// a header that only passes values along (interfaces, connections, protocols) includes this one,
// and code that builds, reads or encodes values includes Message.h. The library's full header
// costs every file that includes it a few seconds of compiler time.

#include <nlohmann/json_fwd.hpp>

namespace platform::xpc {

using Value = nlohmann::json;

struct Request;
struct Reply;

}  // namespace platform::xpc
