#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds a module in C++, a
# typed one, a module in C, a module asking for -ffast-math and a host program against
# it, three times: with find_package(efi COMPONENTS host) and efi_add_module
# under GCC and again under clang (no fast-math module there), and with
# pkg-config (efi, efi-host). Each host program loads the modules, calls
# them and prints "ok". Then builds the host example of docs/hosts.md both
# ways and runs it on the installed sample module: its output must be the
# expected one.
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
"$work/cmake-build/consumer_host" "$work/cmake-build/libconsumer_module.so" "$work/cmake-build/libconsumer_c_module.so" \
  "$work/cmake-build/libconsumer_fast_module.so" "$work/cmake-build/libconsumer_typed_module.so"

# clang cannot unwind from a faulting instruction: efi_add_module says so,
# and a fault in its modules still ends the call as its error.
CC=clang CXX=clang++ cmake -S "$src_dir/project" -B "$work/clang-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/clang-configure.log"
grep -q "efi_add_module(consumer_module): Clang cannot unwind" "$work/clang-configure.log" ||
  { echo "no notice about clang"; cat "$work/clang-configure.log"; exit 1; }
cmake --build "$work/clang-build" >/dev/null
"$work/clang-build/consumer_host" "$work/clang-build/libconsumer_module.so" "$work/clang-build/libconsumer_c_module.so" \
  "$work/clang-build/libconsumer_typed_module.so"

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
# The package's flags come last and keep faults catchable under -ffast-math.
# shellcheck disable=SC2046
c++ -shared -fPIC -O3 -ffast-math -Werror -o "$work/libmine_fast.so" "$src_dir/project/fast_module.cpp" \
  $(pkg-config --cflags --libs efi)
# The typed layer is C++20, which the program chooses, as for the host API.
# shellcheck disable=SC2046
c++ -std=c++20 -shared -fPIC -Werror -o "$work/libmine_typed.so" "$src_dir/project/typed_module.cpp" \
  $(pkg-config --cflags --libs efi)
# shellcheck disable=SC2046
cc -shared -fPIC -Werror -o "$work/libmine_c.so" "$src_dir/project/c_module.c" $(pkg-config --cflags --libs efi)
# The host API is C++20 (std::span); the program chooses its standard.
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/host-pc" "$src_dir/project/host.cpp" $(pkg-config --cflags --libs efi-host)
LD_LIBRARY_PATH="$libdir" "$work/host-pc" "$work/libmine.so" "$work/libmine_c.so" "$work/libmine_fast.so" \
  "$work/libmine_typed.so"

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
