#!/usr/bin/env bash
# The bash completion of coreservicectl, run against the built tool: what it offers at each point
# of a command line, compared whole.
# usage: check-completion.sh <coreservicectl> <completion script>
set -uo pipefail
tool=$1
source "$2"

failures=0
expect() {
  local want=$1; shift
  COMP_WORDS=("$tool" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _coreservicectl
  local got="${COMPREPLY[*]}"
  if [[ $got != "$want" ]]; then
    echo "FAIL: coreservicectl $* <TAB>: got '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

commands=$("$tool" --help | awk '/^commands:$/ { on = 1; next } /^$/ { on = 0 } on { print $1 }' | xargs)
[[ -n $commands ]] || { echo "FAIL: no commands in '$tool --help'"; exit 1; }
expect "help $commands" ""
expect "--help --version" "--"
expect "status" "stat"
expect "--count" "ping" "--co"
expect "--count --interval --timeout --help --version" "ping" "--"
expect "" "ping" "-c" ""
expect "" "ping" "--count" "=" ""
expect "--json --timeout --help --version" "status" "-t" "3" "--"
expect "read write delete watch" "defaults" ""
expect "write watch" "defaults" "--dir" "/tmp" "w"
expect "write watch" "defaults" "-d" "/tmp" "w"
expect "bool int uint double string date data map datalist" "defaults" "write" "dom" "key" ""
expect "" "defaults" "read" "dom" ""
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/only-dir" && touch "$scratch/only-file"
expect "$scratch/only-dir" "defaults" "-d" "$scratch/only"
expect "$scratch/only-dir" "defaults" "--dir" "=" "$scratch/only"
expect "sign verify" "codesign" ""
expect "$scratch/only-file" "codesign" "verify" "$scratch/only-f"
expect "$scratch/only-file" "codesign" "sign" "--key" "$scratch/only-f"
expect "" "codesign" "verify" "$scratch/only-file" ""
expect "sessionExpirationWarning sessionExpired" "notify" "-c" "sess"
expect "connectionEnded" "notify" "--clear" "sessionExpired" "conn"
expect "" "notify" "Title" ""
expect "defaults" "help" "def"
expect "" "help" "defaults" ""

((failures == 0)) && echo "completion: all cases passed"
exit $((failures > 0))
