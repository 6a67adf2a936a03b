#!/usr/bin/env bash
# Checks that the tree's translation units (tests and benchmarks included) compile with clang,
# without generating code: clang reads and type-checks each file (templates instantiated,
# warnings as errors) at a fraction of the cost of a real compile. The tests themselves run on
# GCC builds.
# usage: scripts/clang-syntax-check.sh [builddir [source-regex]]
#   builddir      default build-clang; configured with clang when it has no compile commands
#   source-regex  only the sources whose path matches (a Python regular expression),
#                 e.g. 'logging/|daemon/main'
# All 190-odd units take roughly ten CPU minutes; CI checks a few (see .ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-clang}
filter=${2:-}
clang=${CLANGXX:-clang++-14}
command -v "$clang" >/dev/null || { echo "clang-syntax-check: $clang is not installed" >&2; exit 1; }
if [ ! -f "$dir/compile_commands.json" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_C_COMPILER="${clang/++/}" \
    -DCS_BUILD_BENCH=ON -DCS_WERROR=ON >/dev/null
fi
# One compile command per line, turned from "-o object -c source" into "-fsyntax-only source".
python3 - "$dir/compile_commands.json" "$filter" >"$dir/syntax-commands.txt" <<'PY'
import json, re, shlex, sys
pattern = re.compile(sys.argv[2]) if sys.argv[2] else None
for entry in json.load(open(sys.argv[1])):
    if pattern and not pattern.search(entry["file"]):
        continue
    args = shlex.split(entry["command"])
    if args and args[0].endswith("ccache"):
        args = args[1:]
    # A precompiled header is only read, never built, by a syntax check: its header is included
    # as text instead (the "-Xclang -include -Xclang <header>" that comes with it stays), and the
    # command that would build it only checks the header (emitting it would write it to stdout,
    # its -o being dropped below).
    i = 0
    while i < len(args):
        if args[i:i + 2] == ["-Xclang", "-include-pch"]:
            del args[i:i + 4]
        elif args[i:i + 2] == ["-Xclang", "-emit-pch"]:
            del args[i:i + 2]
        else:
            i += 1
    out, skip = [], False
    for a in args:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT"):
            skip = True
            continue
        if a in ("-c", "-MD") or re.fullmatch(r"-O\d|-g\d?", a):
            continue
        out.append(a)
    out.insert(1, "-fsyntax-only")
    print("cd " + shlex.quote(entry["directory"]) + " && " + shlex.join(out))
PY
count=$(wc -l <"$dir/syntax-commands.txt")
[ "$count" -gt 0 ] || { echo "clang-syntax-check: no source matches '$filter'" >&2; exit 1; }
if ! xargs -d '\n' -P "$(nproc)" -I{} bash -c '{}' <"$dir/syntax-commands.txt"; then
  echo "clang-syntax-check: clang rejects the tree (see above)" >&2
  exit 1
fi
echo "clang-syntax-check: $count translation units accepted by $clang"
