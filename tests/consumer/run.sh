#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds the consumer project
# against it twice: with find_package(efi) and with pkg-config.
set -euo pipefail
build_dir=$1
src_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cmake -S "$src_dir/project" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake-build/consumer"

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
export PKG_CONFIG_PATH="$libdir"
# shellcheck disable=SC2046
c++ "$src_dir/project/main.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs efi)
"$work/consumer-pc"
