#!/usr/bin/env bash
# Lists the C++ files that clang-format (with the repository's .clang-format) would change, and exits
# non-zero when there is one. The generated Unicode tables and the layer rule's fixture files are left
# as they are. Fix with: clang-format -i FILE ...
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format is not installed (Debian: apt-get install clang-format)" >&2; exit 2; }
status=0
while IFS= read -r file; do
  if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "$file"
    status=1
  fi
done < <(git ls-files '*.cpp' '*.h' | grep -v -e '^src/lib/text/unicode_tables.cpp$' -e '^tests/cpp/layer_rule/')
exit $status
