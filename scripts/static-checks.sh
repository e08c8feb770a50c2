#!/usr/bin/env bash
# The static checks over every language; any finding fails. C++: formatting,
# no include that climbs out of its folder, clang-tidy and cppcheck. Shell
# scripts: shellcheck. Python: flake8 and black. Every check runs, and the
# failed ones are named at the end. Needs a configured build dir for
# clang-tidy's compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-static-checks}

export DEBIAN_FRONTEND=noninteractive
missing=()
for tool in clang-tidy clang-format cppcheck shellcheck flake8 black; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
# Each tool's Debian package has the tool's name.
[ ${#missing[@]} -eq 0 ] || apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

# The tree's files, added or not yet (never the ignored build dirs), that
# are there: a file deleted in the work tree is not checked.
files() {
  local f
  git ls-files -z --cached --others --exclude-standard -- "$@" |
    while IFS= read -r -d '' f; do
      if [ -f "$f" ] && [ ! -L "$f" ]; then printf '%s\0' "$f"; fi
    done
}

# Scripts are found by their first line as well as by their name: several
# have no extension. A sourced fragment says its shell in a directive.
first_line_matches() {
  # shellcheck disable=SC2016 # $0 is awk's
  files | xargs -0 -r awk -v pattern="$1" -v name="$2" \
    'FNR == 1 { if ($0 ~ pattern || FILENAME ~ name) print FILENAME; nextfile }'
}
mapfile -d '' cxx < <(files '*.cpp' '*.hpp')
mapfile -d '' daemon < <(files 'src/*.cpp')
mapfile -t shell < <(first_line_matches '^#!.*[/ ](ba|da)?sh( |$)|^# shellcheck shell=' '[.]sh$')
mapfile -t python < <(first_line_matches '^#!.*python' '[.]py$')

failed=()
check() {
  echo "== $1"
  "${@:2}" || failed+=("$1")
}

# Each folder's headers are included by the folder's name, through the
# include path that the build gives it, so a lower folder cannot reach a
# higher one: a relative climb would get around that.
no_climbing_includes() {
  ! grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]*/)?\.\./' "${cxx[@]}" ||
    { echo 'include by the folder name, not with "../"' >&2; return 1; }
}

clang_tidy() {
  cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARVEX_BUILD_TESTS=OFF >/dev/null || return
  # Findings go to stdout; stderr only counts the system headers' warnings.
  clang-tidy -p "$build" --quiet "${daemon[@]}" 2>/dev/null
}

# -x follows the source directives, which name files from the top of the tree.
check clang-format clang-format --dry-run --Werror "${cxx[@]}"
check "includes" no_climbing_includes
check clang-tidy clang_tidy
check cppcheck cppcheck --enable=warning,style,performance,portability --std=c++17 --inline-suppr \
  --error-exitcode=1 -q -I src src
check shellcheck shellcheck -x "${shell[@]}"
# Settings in .flake8 and pyproject.toml.
check flake8 flake8 "${python[@]}"
check black black --check --quiet "${python[@]}"

if [ ${#failed[@]} -ne 0 ]; then
  echo "static checks failed: ${failed[*]}" >&2
  exit 1
fi
echo "static checks clean"
