#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine (as root): install what is
# missing, build everything, then call a few functions of the bundled sample
# module and the unit conversions through efi-call, showing results and
# errors. Running it again is harmless.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)"

efi_call=build/release/tools/efi-call
# Echoes the command as it would be typed, then runs it.
show() {
  local line='$ efi-call' arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_.+/-]+$ ]]; then line+=" $arg"
    else line+=" '${arg//\'/\'\\\'\'}'"; fi
  done
  echo "$line"
  local status=0
  "$efi_call" "$@" || status=$?
  if ((status != 0)); then echo "(exit status $status)"; fi
}

show --list
show sample_add 1+2i 3-4i
show sample_scale 2 "[1, 2; 3, 4i]"
show sample_upper '"hello, world"'
show sample_apply sample_sqrt 2.25
show sample_sqrt -4
show sample_divide 1 0
show fif "5' 3-1/2\""
show fif_inv -1
show hhmmss_inv 59.9996
show dms "[30; 15; 50]"
printf 'sample_add 1 2\nsample_sqrt -1\nsample_upper "next line"\n' > build/release/demo-script.txt
show --script build/release/demo-script.txt

# The same sample from Python (package efi, in the build tree), shown as an
# interactive session would.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' build/release/CMakeCache.txt)
echo "\$ PYTHONPATH=build/release/host/python python3"
PYTHONPATH=build/release/host/python "${python:-python3}" - build/release/examples/sample/libefi_sample.so <<'PY'
import sys
import numpy as np
import efi

print(">>> import efi, numpy as np")
print(f">>> m = efi.load({sys.argv[1]!r})")
m = efi.load(sys.argv[1])
session = [
    "m.sample_add(1+2j, 3-4j)",
    "m.sample_scale(2, np.array([[1.0, 2.0], [3.0, 4.0]]))",
    "m.sample_sum(np.arange(6.0).reshape(2, 3))",
    "efi.register('half', lambda x: x / 2)",
    "m.sample_apply('half', 9)",
    "m.sample_sqrt(-4)",
    "m.sample_divide(1, 0)",
    "1e308 * 10",
    "efi.fif('5\\' 3-1/2\"')",
    "efi.dms_inv(1.0)",
]
for line in session:
    print(">>>", line)
    try:
        value = eval(line)
        if value is not None and not isinstance(value, efi.HostFunction):
            print(repr(value))
    except efi.WorksheetError as e:
        print(f"{type(e).__module__}.{type(e).__name__}: {e}")
print(">>> m.sample_upper")
print(m.sample_upper)
PY
