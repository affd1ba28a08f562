# Shared by the install and package checks: a temporary folder that goes
# away at the end, and failures counted, not fatal, so one run reports them all.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The expected files below a prefix, sorted; $1 goes before each path.
expected_files() { grep -v '^#' "$here/files.txt" | sed "s|^|$1|" | LC_ALL=C sort; }
finish() {
  if ((failures)); then echo "$failures check(s) failed" >&2; exit 1; fi
  echo "all checks passed"
}
