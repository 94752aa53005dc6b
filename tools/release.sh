#!/usr/bin/env bash
# Builds the Linux and the Windows program and their portable packages, and
# puts the two packages with their SHA256SUMS in one release folder. The build
# is reproducible: the same commit gives the same bytes in any folder.
# Usage: tools/release.sh [RELEASE_FOLDER]   (default: release)
set -euo pipefail
cd "$(dirname "$0")/.."
release=$(realpath -m "${1:-release}")
# Every time inside the packages is the time of the last commit.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

for preset in release windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target portable-package
done
mkdir -p "$release"
cp build-release/renumber-1.00-Linux.tar.gz build-windows/renumber-1.00-win64.zip "$release"
(cd "$release" && sha256sum renumber-1.00-Linux.tar.gz renumber-1.00-win64.zip >SHA256SUMS)
echo "release: $release"
cat "$release/SHA256SUMS"
