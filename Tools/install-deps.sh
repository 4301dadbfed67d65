#!/usr/bin/env bash
# Installs the Debian packages the builds, tests, benchmarks, demo and scripts need; does nothing
# when they are all present. What needs each (besides Essential ones: bash, coreutils, grep, sed):
#   cmake (cmake, ctest), ninja-build (the presets' generator), g++ (Linux builds),
#   googletest (/usr/src/googletest), libbenchmark-dev and libspdlog-dev (Bench/: the benchmarks
#   and the trace line's yardstick), clang and libclang-rt-14-dev
#   (fuzz preset), g++-mingw-w64-{x86-64,i686}-posix (Windows builds),
#   binutils-mingw-w64-{x86-64,i686} (windres, objdump: resources, check-product.sh,
#   check-exports.sh), wine64 (/usr/lib/wine/wine64: the 64-bit prefix and the x64 build's tests),
#   wine32:i386 (/usr/lib/wine/wine: the PE32 product and its tests under WoW64; the i386
#   architecture is added to dpkg for it, as Debian's Wine packaging asks), wine (wine and
#   wineserver on PATH: Tests/Wine/*.sh), python3 (demo.sh, check-trace.py), mawk (awk:
#   check-product.sh), rapidjson-dev (the simulated machine's JSON files and records),
#   libutfcpp-dev (its UTF-8 and UTF-16 conversions), gcovr (coverage.sh), findutils (find:
#   coverage.sh, Essential on most images but named since minimal ones drop it), wixl (wixl: the
#   Windows Installer package the windows-x86 build makes from packaging/OTarvikMonitor.wxs, and
#   the packages Tests/Wine/package.sh builds beside it), msitools (msibuild: the custom action
#   types packaging/build-msi.sh sets, which wixl cannot write)
set -eu
packages=(cmake ninja-build g++ googletest libbenchmark-dev libspdlog-dev clang
          libclang-rt-14-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine32:i386 wine python3 mawk
          rapidjson-dev libutfcpp-dev gcovr findutils wixl msitools)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
# wine32 is an i386 package: the only foreign architecture we need, and the only system change.
if [[ " ${missing[*]} " == *":i386 "* ]] &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
