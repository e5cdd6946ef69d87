#!/usr/bin/env bash
# Builds build-windows/quillex.sys and quillex.pdb: the six driver folders, the
# KMDF 1.9 binding and ntstrsafe's counted-string routines from windows/,
# compiled by clang in MSVC mode and linked by lld-link against mingw-w64's
# kernel import libraries and an import library for WDFLDR.SYS made here.
# Two builds of the same tree are byte-identical.
#
#   scripts/build-windows.sh [OUT_DIR]     default build-windows/
#
# The Windows header check (../shared/wdk-check, or QUILLEX_WDK_CHECK) supplies
# the framework's headers. Installs its own tools with apt-get when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(mkdir -p "${1:-build-windows}" && cd "${1:-build-windows}" && pwd)

# clang 15 is the first Debian clang that honours #pragma alloc_text (14
# ignores it without a word): DriverEntry would stay out of INIT.
llvm=/usr/lib/llvm-16/bin
need=()
[[ -x $llvm/clang ]] || need+=(clang-16)
[[ -x $llvm/lld-link ]] || need+=(lld-16)
[[ -x $llvm/llvm-dlltool && -x $llvm/llvm-pdbutil ]] || need+=(llvm-16)
[[ -f /usr/x86_64-w64-mingw32/lib/libntoskrnl.a ]] || need+=(mingw-w64-x86-64-dev)
/usr/bin/python3 -c "import pefile" 2>/dev/null || need+=(python3-pefile)
if ((${#need[@]})); then
    echo "build-windows: installing ${need[*]}" >&2
    apt-get install -y -q "${need[@]}" >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q "${need[@]}" >/dev/null; }
fi
export WINDOWS_CC=$llvm/clang

# shellcheck source=../windows/kernel-headers.sh
source windows/kernel-headers.sh
kernel_headers "$out/headers"

# Kernel code: no exceptions, no RTTI, no floating point (the kernel does not
# save the FPU state for a driver), unwind data for every function so that
# the kernel can walk any stack through it (the x64 compilers leave leaf
# routines without any: a frame pointer in every routine gives each one its
# unwind entry); no security cookie (the image
# links no runtime that would set it). The framework headers put each context
# type's record (a constant) in .data: clang marks that piece read-only, and
# the image got a second, read-only .data section; it goes with the constants.
cxxflags=(-x c++ -std=c++17 -O2 -g -gcodeview -gno-codeview-command-line -mno-incremental-linker-compatible -fno-exceptions -fno-rtti -funwind-tables
    -fno-omit-frame-pointer -mno-omit-leaf-frame-pointer
    -mno-sse -mno-mmx -mno-80387 -fno-stack-protector -fno-builtin -fno-common
    "-ffile-prefix-map=$root=." "-ffile-prefix-map=$out=build-windows"
    -Wall -Werror -Wno-unknown-pragmas -Wno-writable-strings -Wno-duplicate-decl-specifier
    -Wno-ignored-pragma-intrinsic -DWDF_TYPE_DEFAULT_SECTION_NAME='".rdata"' -Wno-microsoft-cast -Wno-unused-command-line-argument "${KERNEL_FLAGS[@]}" -I"$root")

# The flags, for the checks that compile against the same headers.
printf '%s\n' "${KERNEL_FLAGS[@]}" >"$out/kernel-flags"

sources=$(find driver hid mapping xusb appapi platform -name '*.cpp' | LC_ALL=C sort)
sources="$sources windows/kmdf/binding.cpp windows/unicode_string_safe.cpp windows/kernel_intrinsics.cpp"
rm -rf "$out/obj"
mkdir -p "$out/obj"
objects=()
for f in $sources; do
    obj="$out/obj/$(echo "${f%.cpp}" | tr '/' '_').obj"
    "$llvm/clang" "${cxxflags[@]}" -c "$f" -o "$obj"
    objects+=("$obj")
done

# WDFLDR.SYS has no import library in mingw-w64: one from its two routines.
"$llvm/llvm-dlltool" -m i386:x86-64 -d windows/kmdf/wdfldr.def -l "$out/obj/wdfldr.lib"

lib=/usr/x86_64-w64-mingw32/lib
(cd "$out" && "$llvm/lld-link" /nologo /driver /subsystem:native,6.01 /entry:FxDriverEntry \
    /nodefaultlib /machine:x64 /out:quillex.sys /pdb:quillex.pdb /pdbaltpath:quillex.pdb /pdbsourcepath:/quillex/build-windows /debug /map:quillex.map \
    /brepro /opt:ref /opt:icf /nxcompat /dynamicbase /section:INIT,ERD /merge:.gfids=.rdata \
    "${objects[@]/#$out\//}" obj/wdfldr.lib \
    "$lib/libntoskrnl.a" "$lib/libhal.a" "$lib/libhidparse.a" "$lib/libusbd.a")

# An application of the control interface in C, built with mingw-w64's own
# Windows headers: it proves that appapi/quillex_public.h serves one.
command -v x86_64-w64-mingw32-gcc >/dev/null || apt-get install -y -q gcc-mingw-w64-x86-64 >/dev/null
x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -Werror -I. "-ffile-prefix-map=$root=." \
    -Wl,--no-insert-timestamp windows/app-example/quillex_state.c -o "$out/quillex_state.exe" -lsetupapi

# lld-link leaves the checksum 0; Windows loads no driver without a valid one.
/usr/bin/python3 scripts/pe-checksum.py "$out/quillex.sys"
echo "build-windows: $out/quillex.sys ($(stat -c %s "$out/quillex.sys") bytes)"
