#!/usr/bin/env bash
# The manual of coreservicectl documents every command the tool lists and every option of each
# (by its long or its short name), and both pages build.
# usage: check-man-pages.sh <coreservicectl> <coreservicectl.1.scd> <coreserviced.8.scd>
set -uo pipefail
tool=$1 page=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

commands=$("$tool" --help | awk '/^commands:$/ { on = 1; next } /^$/ { on = 0 } on { print $1 }')
[[ -n $commands ]] || fail "no commands in '$tool --help'"
for command in $commands; do
  grep -q "^\*$command\*" "$page" || fail "$page has no entry for the command '$command'"
  while read -r long short; do
    [[ $long == --help || $long == --version ]] && continue
    grep -qF -- "*$long*" "$page" || { [[ -n $short ]] && grep -qF -- "*$short*" "$page"; } ||
      fail "$page does not mention $long${short:+ or $short} of '$command'"
  done < <("$tool" "$command" --help | awk '
    /^options:$/ { on = 1; next }
    on && /^ +-/ {
      if ($1 ~ /^-.,$/) { short = substr($1, 1, 2); long = $2 } else { short = ""; long = $1 }
      sub(/=.*/, "", long)
      print long, short
    }')
done
if command -v scdoc >/dev/null; then
  for scd in "${@:2}"; do
    scdoc <"$scd" >/dev/null || fail "scdoc rejects $scd"
  done
fi
((failures == 0)) && echo "man pages: every command and option documented"
exit $((failures > 0))
