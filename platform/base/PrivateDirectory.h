#pragma once
// A directory under the temporary directory that belongs to the calling user alone: the fallback
// for files a process keeps per user (logs, sockets) when the user has no home or runtime
// directory. The temporary directory is shared by every user, so a name there may already have
// been taken by someone else, possibly on purpose: such a directory is never used.

#include <string>
#include <string_view>

namespace platform::base {

// `<tmp>/<prefix>-<uid>` (tmp: $TMPDIR when it is an absolute path, else /tmp), created with mode
// 0700 when missing. When that name is taken by anything but a directory of this user that
// nobody else may enter (another user's directory, a link, a file, a directory open to others),
// a fresh directory `<tmp>/<prefix>-<uid>-XXXXXX` is made instead. Empty when neither can be
// made.
std::string privateTemporaryDirectory(std::string_view prefix);

}  // namespace platform::base
