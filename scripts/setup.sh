#!/usr/bin/env bash
# Installs whatever the build and the tests need on Debian 12, without prompts. Quiet when all is there.
set -eu
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
pkgs=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 wine wine64
      xvfb xauth cmake ninja-build googletest python3 clang libclang-rt-14-dev x11-apps netpbm zip unzip openssl)
for p in "${pkgs[@]}"; do have_pkg "$p" || need+=("$p"); done
i386=0
dpkg --print-foreign-architectures | grep -qx i386 && i386=1
have_pkg wine32:i386 || need+=(wine32:i386)
if [ ${#need[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
echo "setup: installing ${need[*]}"
if [ $i386 = 0 ]; then $SUDO dpkg --add-architecture i386; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${need[@]}" >/dev/null
