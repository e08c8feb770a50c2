#!/usr/bin/env bash
# Formatting, clang-tidy and cppcheck over the daemon's sources; any finding
# fails. Needs a configured build dir for clang-tidy's compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-static-checks}

export DEBIAN_FRONTEND=noninteractive
command -v clang-tidy >/dev/null && command -v cppcheck >/dev/null && command -v clang-format >/dev/null ||
  apt-get install -y -qq --no-install-recommends clang-tidy clang-format cppcheck >/dev/null

sources=$(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/unit/*.cpp' 'tests/unit/*.hpp' 'tests/runner/*.hpp' \
  'tests/sandbox/*.cpp' 'tests/fuzz/*.cpp')

echo "== clang-format"
clang-format --dry-run --Werror $sources

echo "== clang-tidy"
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTARVEX_BUILD_TESTS=OFF >/dev/null
# Findings go to stdout; stderr only counts the system headers' warnings.
clang-tidy -p "$build" --quiet $(git ls-files 'src/*.cpp') 2>/dev/null

echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++17 --inline-suppr \
  --error-exitcode=1 -q -I src src
echo "static checks clean"
