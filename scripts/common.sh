#!/usr/bin/env bash
# Shared by scripts/run and scripts/test: install what is missing, configure and build.

PL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PL_BUILD=${PL_BUILD:-$PL_ROOT/build}

PL_PACKAGES=(
  cmake make mingw-w64 g++-mingw-w64-x86-64-posix
  wine wine64 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxfixes3 libxinerama1 fonts-wine
  googletest nlohmann-json3-dev
  xvfb xauth fonts-wqy-microhei
  python3 python3-pil
  g++ zip unzip zlib1g-dev libz-mingw-w64-dev wimtools
  clang-14 libclang-rt-14-dev
)

pl_install_packages() {
  local missing=() package
  for package in "${PL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

pl_build() {  # [targets...]: the development and test build, which reads PL_BACKEND_ORIGIN
  cmake -S "$PL_ROOT" -B "$PL_BUILD" -DCMAKE_TOOLCHAIN_FILE="$PL_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DPL_ALLOW_BACKEND_OVERRIDE=ON >/dev/null || return 1
  local jobs
  jobs=$(nproc 2>/dev/null || echo 2)
  if [ $# -gt 0 ]; then
    local target
    for target in "$@"; do cmake --build "$PL_BUILD" -j "$jobs" --target "$target" || return 1; done
  else
    cmake --build "$PL_BUILD" -j "$jobs"
  fi
}
