#!/usr/bin/env bash
# Builds build-windows/quillexctl.exe (and the test of its mapping files,
# build-windows/quillexctl/mapping_file_wine.exe): quillexctl's own sources
# with the parts of the tree it uses (the .reg reader and writer and the UTF-16 conversions
# of sim/registry and sim/core, the button names, the driver's curve table),
# cross-compiled by mingw-w64's g++ with the C++ runtime linked in, so the
# program runs with nothing beside it. The simulator itself stays out: the
# device link is windows_link.cpp (SetupDi, CreateFile, DeviceIoControl).
#
#   scripts/build-quillexctl-windows.sh [OUT_DIR]     default build-windows/
#
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(mkdir -p "${1:-build-windows}" && cd "${1:-build-windows}" && pwd)

# The posix flavour: its C++ library has std::mutex and std::thread (the
# registry's tree locks one), from winpthreads, linked in statically.
cxx=x86_64-w64-mingw32-g++-posix
need=()
command -v $cxx >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[[ -f /usr/include/CLI/CLI.hpp ]] || need+=(libcli11-dev)
[[ -f /usr/include/nlohmann/json.hpp ]] || need+=(nlohmann-json3-dev)
if ((${#need[@]})); then
    echo "build-quillexctl-windows: installing ${need[*]}" >&2
    apt-get install -y -q "${need[@]}" >/dev/null ||
        { apt-get update -q >/dev/null && apt-get install -y -q "${need[@]}" >/dev/null; }
fi

# CLI11 and nlohmann-json are header-only: their folders alone, so that no
# other Linux header can stand in for a Windows one.
work="$out/quillexctl"
rm -rf "$work"
mkdir -p "$work/obj" "$work/include"
ln -s /usr/include/CLI "$work/include/CLI"
ln -s /usr/include/nlohmann "$work/include/nlohmann"

version=$(sed -n 's/^set(QUILLEX_SIM_VERSION \([0-9.]*\))$/\1/p' tools/CMakeLists.txt)
[[ -n $version ]] || { echo "build-quillexctl-windows: no version in tools/CMakeLists.txt" >&2; exit 1; }

# The page's files as C++ strings, as the Linux build embeds them.
cmake -DQUILLEX_UI_DIR="$root/tools/quillexctl/ui" -DQUILLEX_UI_ASSETS_CPP="$work/ui_assets.cpp" \
    -P tools/quillexctl/ui/embed_assets.cmake

flags=(-std=c++17 -O2 -Wall -Wextra -Werror -Wno-unused-parameter -DQUILLEXCTL_VERSION="\"$version\""
    -DQUILLEX_UI_BUILTIN_HTTP
    -D_WIN32_WINNT=0x0601 -I"$root" -I"$root/windows/quillexctl/include" -isystem "$work/include"
    "-ffile-prefix-map=$root=." "-ffile-prefix-map=$out=build-windows")
sources=$(ls tools/quillexctl/*.cpp tools/quillexctl/ui/*.cpp tools/quillexctl/ui/http/*.cpp | LC_ALL=C sort)
sources="$sources tools/common/control_names.cpp tools/common/mapping_names.cpp sim/peers/stick/button_names.cpp
    tools/common/text_format.cpp
    sim/registry/registry.cpp sim/registry/reg_file.cpp sim/registry/reg_merge.cpp sim/core/utf.cpp
    mapping/curve_table.cpp mapping/xusb_tables.cpp windows/quillexctl/replace_file.cpp $work/ui_assets.cpp"
objects=()
for f in $sources; do
    obj="$work/obj/$(echo "${f#"$work/"}" | sed 's/\.cpp$//' | tr '/' '_').o"
    objects+=("$obj")
    $cxx "${flags[@]}" -c "$f" -o "$obj" &
    # Two at a time: the machine's two cores.
    while (($(jobs -rp | wc -l) >= 2)); do wait -n; done
done
while (($(jobs -rp | wc -l) > 0)); do wait -n; done
link=(-static -static-libgcc -static-libstdc++ -s -Wl,--no-insert-timestamp)
libs=(-lsetupapi -lws2_32 -lshell32)
$cxx "${link[@]}" "${objects[@]}" -o "$out/quillexctl.exe" "${libs[@]}"

# The mapping files' test, for scripts/wine-quillexctl.sh: the same objects
# with its own main in place of quillexctl's.
$cxx "${flags[@]}" -c tests/windows/mapping_file_wine.cpp -o "$work/obj/mapping_file_wine.o"
test_objects=("$work/obj/mapping_file_wine.o")
for obj in "${objects[@]}"; do
    [[ $obj == */tools_quillexctl_main.o ]] || test_objects+=("$obj")
done
$cxx "${link[@]}" "${test_objects[@]}" -o "$work/mapping_file_wine.exe" "${libs[@]}"
echo "build-quillexctl-windows: $out/quillexctl.exe ($(stat -c %s "$out/quillexctl.exe") bytes)"
