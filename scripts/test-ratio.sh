#!/usr/bin/env bash
# Prints how much of the C++ code (lines of .cpp/.h files) is test code.
# Test code: files under a `tests`, `testing`, `testsupport` or `fuzz` directory and the test-only
# helpers in cmake/. Counted over the files git tracks (so build trees never count), without third_party.
# Usage: scripts/test-ratio.sh [-v]   (-v also lists the test lines per top folder)
set -euo pipefail
cd "$(git -C "$(dirname "$0")" rev-parse --show-toplevel)"
git ls-files -z -- '*.cpp' '*.h' ':!:third_party/**' ':!:*/third_party/**' |
  xargs -0 wc -l | grep -v ' total$' |
  awk -v verbose="${1:-}" '
    {
      lines = $1; path = $2
      test = (path ~ /(^|\/)(tests|testing|testsupport|fuzz)\//) || (path ~ /^cmake\/.*(Test|Fuzz)/)
      all += lines
      if (test) {
        tests += lines
        split(path, parts, "/"); top = parts[1] "/" (parts[1] == "platform" ? parts[2] : "")
        per[top] += lines
      }
    }
    END {
      if (verbose == "-v") for (t in per) printf "%8d  %s\n", per[t], t | "sort -rn"
      close("sort -rn")
      printf "test lines %d of %d C++ lines: %.1f%%\n", tests, all, all ? 100 * tests / all : 0
    }'
