#!/usr/bin/env bash
# Format and lint checks of the project's own C++ code: any formatting
# difference or clang-tidy warning fails. Needs the default and fuzz builds
# configured (their compile databases say how each file is built).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files formatted"

# GCC's link-time optimisation flags in the compile databases mean nothing to clang.
tidy() {
  clang-tidy --quiet --extra-arg=-Wno-ignored-optimization-argument "$@" 2>&1 |
    grep -v -E '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' || true
}
mapfile -t posix_sources < <(git ls-files 'src/*.cpp' 'tests/unit/*.cpp' 'bench/*.cpp' | grep -v 'src/host/windows.cpp')
failed=0
report=$(tidy -p build "${posix_sources[@]}")
report+=$(tidy -p build-fuzz tests/fuzz/conversion_fuzzer.cpp)
# The Windows side: clang's own builtin headers, MinGW's C++ library and
# Windows headers. Without MinGW it is left out, except in CI.
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  cmake --preset windows >/dev/null
  mapfile -t mingw_includes < <(echo | x86_64-w64-mingw32-g++-posix -E -x c++ - -v 2>&1 |
    sed -n '/#include <...> search starts here:/,/End of search list./p' |
    grep '^ ' | grep -v -E '/include(-fixed)?$' | sed 's/^ */--extra-arg=-isystem/')
  mingw_includes+=("--extra-arg=-isystem/usr/x86_64-w64-mingw32/include")
  report+=$(tidy -p build-windows --extra-arg=--target=x86_64-w64-mingw32 --extra-arg=-nostdinc++ \
    "${mingw_includes[@]}" src/host/windows.cpp)
elif [ -n "${CI:-}" ]; then
  report+="MinGW-w64 (x86_64-w64-mingw32-g++-posix) is missing: src/host/windows.cpp not checked"
else
  echo "clang-tidy: src/host/windows.cpp skipped (no MinGW-w64 here)"
fi
if [ -n "$report" ]; then
  echo "$report"
  failed=1
fi
echo "clang-tidy: $((${#posix_sources[@]} + 2)) files checked"
exit $failed
