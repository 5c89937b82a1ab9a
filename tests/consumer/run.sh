#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a module in C++, a
# module in C and a host program against it, twice: with find_package(efi
# COMPONENTS host) and efi_add_module, and with pkg-config (efi, efi-host).
# Each host program loads both modules, calls them and prints "ok". Then
# builds the host example of docs/hosts.md both ways and runs it on the
# installed sample module: its output must be the expected one.
set -euo pipefail
build_dir=$1
src_dir=$2
examples_dir=$src_dir/../../examples
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null

cmake -S "$src_dir/project" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer_host" "$work/cmake-build/libconsumer_module.so" "$work/cmake-build/libconsumer_c_module.so"

libdir=$(dirname "$(ls -d "$prefix"/lib*/pkgconfig | head -n 1)")
export PKG_CONFIG_PATH="$libdir/pkgconfig"
for pc in efi efi-host; do
  flags=$(pkg-config --cflags --libs "$pc")
  # The flags suit C as well as C++ and leave the run-time search path alone.
  case "$flags" in
    *-std=* | *rpath*) echo "$pc.pc: $flags"; exit 1 ;;
  esac
done
# shellcheck disable=SC2046
c++ -shared -fPIC -o "$work/libmine.so" "$src_dir/project/module.cpp" $(pkg-config --cflags --libs efi)
# shellcheck disable=SC2046
cc -shared -fPIC -Werror -o "$work/libmine_c.so" "$src_dir/project/c_module.c" $(pkg-config --cflags --libs efi)
# The host API is C++20 (std::span); the program chooses its standard.
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/host-pc" "$src_dir/project/host.cpp" $(pkg-config --cflags --libs efi-host)
LD_LIBRARY_PATH="$libdir" "$work/host-pc" "$work/libmine.so" "$work/libmine_c.so"

# The host example, as docs/hosts.md builds it.
sample=$libdir/efi/modules/libefi_sample.so
cmake -S "$examples_dir/host" -B "$work/host-example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-example" >/dev/null
"$work/host-example/efi_host_example" "$sample" >"$work/host-example.out"
diff -u "$src_dir/host_example.expected" "$work/host-example.out"
echo "host example (find_package): as expected"
# shellcheck disable=SC2046
c++ -std=c++20 -Wall -Wextra -Werror -o "$work/host-example-pc" "$examples_dir/host/host.cpp" \
  $(pkg-config --cflags --libs efi-host) -pthread
LD_LIBRARY_PATH="$libdir" "$work/host-example-pc" "$sample" >"$work/host-example-pc.out"
diff -u "$src_dir/host_example.expected" "$work/host-example-pc.out"
echo "host example (pkg-config): as expected"
