#!/usr/bin/env bash
# tests/fuzz/build.sh [out-folder]: builds the libFuzzer targets with clang (not part of the
# normal build or CI). Needs clang 14 with its fuzzer runtime (Debian libclang-rt-14-dev).
# Run for example: build-fuzz/TableReaderFuzz -max_total_time=60 corpus-table/
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$root/build-fuzz}
mkdir -p "$out"
cxx=${CXX:-clang++-14}
moc=/usr/lib/qt6/libexec/moc
flags=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer
       -I"$root" -I"$out" $(pkg-config --cflags Qt6Core))
libs=($(pkg-config --libs Qt6Core))
"$moc" -I"$root" "$root/shared/IniFileCompo.h" -o "$out/moc_IniFileCompo.cpp"
shared=("$root"/shared/*.cpp "$root"/platform/Paths.cpp "$out/moc_IniFileCompo.cpp")
for target in TableReaderFuzz SourceListFuzz SettingsReaderFuzz; do
  echo "building $target"
  "$cxx" "${flags[@]}" "$root/tests/fuzz/$target.cpp" "${shared[@]}" "${libs[@]}" -o "$out/$target"
done
