#!/usr/bin/env bash
# Runs every test of both build trees on a fresh or prepared Debian 12 machine:
# installs what is missing, configures, builds and tests `native`, the short
# fixed-seed fuzzer runs (`fuzz`, clang), then `win32`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
status=0
for tree in native fuzz win32; do
  echo "=== $tree: configure and build"
  cmake --preset "$tree" >/dev/null
  cmake --build --preset "$tree"
  echo "=== $tree: test"
  ctest --preset "$tree" || status=1
done
exit $status
