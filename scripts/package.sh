#!/usr/bin/env bash
# Builds the native and both Windows builds and makes the packages:
#   build/packages/Mirad-VERSION-linux-x86_64.tar.gz   plug-in archive (pluginst.inf at its root)
#   build/packages/mirad_VERSION_amd64.deb             Debian package (apt install ./mirad_VERSION_amd64.deb)
#   build-win32/packages/Mirad-VERSION-windows.zip     Mirad.wcx, Mirad.wcx64, mirad.exe, pluginst.inf
# The tests (Packages.*) install each into a scratch directory and run it.
# Usage: scripts/package.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."

[ "${1:-}" = --no-build ] || bash scripts/build.sh native win32 win64
rm -rf build/packages build-win32/packages
cmake --build build --target package
cmake --build build-win32 --target package
ls -l build/packages/*.tar.gz build/packages/*.deb build-win32/packages/*.zip
