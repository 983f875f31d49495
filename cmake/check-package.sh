#!/usr/bin/env bash
# Installs a build into a scratch prefix, checks the layout, and builds a host
# project against it with find_package(brailledriver), as an integrator would.
#   check-package.sh <build dir> <source dir> <scratch dir>
# The scratch dir is emptied first. Runs the linked host under Wine (with
# $WINEPREFIX, else the build's own prefix) to prove the installed DLL loads.
set -e
build="$(cd "$1" && pwd)"; source="$(cd "$2" && pwd)"; work="$3"
[ -n "$work" ] || { echo "usage: $0 <build> <source> <scratch>" >&2; exit 2; }
rm -rf "$work"; mkdir -p "$work"; work="$(cd "$work" && pwd)"
prefix="$work/prefix"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all
failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

# As right after the demo, which builds the DLL and the tools only: the
# import library must come with the DLL, or the install stops half-way.
rm -f "$build/lib/brailledriver.lib"
cmake --build "$build" --target brailledriver >"$work/dll-build.log" 2>&1 || { cat "$work/dll-build.log"; exit 1; }
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }
for f in bin/brailledriver.dll bin/brailledriver.dll.debug lib/brailledriver.lib lib/libbrailledriver.dll.a \
         lib/brailledriver.def include/brailledriver.h \
         lib/cmake/brailledriver/brailledriverConfig.cmake \
         lib/cmake/brailledriver/brailledriverConfigVersion.cmake \
         lib/cmake/brailledriver/brailledriverTargets.cmake; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
grep -q 'brailledriver::brailledriver' "$prefix/lib/cmake/brailledriver/brailledriverTargets.cmake" \
  || fail "no imported target brailledriver::brailledriver"
# The installed DLL is the one with the export.
x86_64-w64-mingw32-objdump -p "$prefix/bin/brailledriver.dll" | grep -q 'GetBrailleInterface' \
  || fail "installed DLL does not export GetBrailleInterface"

# The installed DLL carries no debug information but a link to the file that
# has it, which a debugger follows (objdump checks the link's checksum).
dll="$prefix/bin/brailledriver.dll"
x86_64-w64-mingw32-objdump -h "$dll" | grep -q ' \.debug_' && fail "installed DLL still has debug sections"
x86_64-w64-mingw32-objdump -h "$dll" | grep -q ' \.gnu_debuglink ' || fail "installed DLL has no debug link"
x86_64-w64-mingw32-objdump --dwarf=follow-links --dwarf=info "$dll" 2>&1 | grep -q 'DW_TAG_compile_unit' \
  || fail "the debug link does not lead to the debug information"
cmp -s "$dll" "$build/bin/brailledriver.dll" && fail "installed DLL is the unstripped build"

# A host built as Microsoft's tools build one (MSVC ABI, no C runtime) links
# lib/brailledriver.lib with lld-link, which reads import libraries as link.exe does.
if command -v clang >/dev/null && command -v lld-link >/dev/null; then
  msvc="$work/msvc"; mkdir -p "$msvc"
  if ! { clang --target=x86_64-pc-windows-msvc -ffreestanding -Wall -Werror -I"$prefix/include" \
           -c "$source/tools/host_example/consumer/msvc_linked_host.c" -o "$msvc/host.obj" &&
         lld-link /nologo /entry:Start /subsystem:console /nodefaultlib /out:"$msvc/msvc_linked_host.exe" \
           "$msvc/host.obj" "$prefix/lib/brailledriver.lib"; } >"$work/msvc-build.log" 2>&1; then
    cat "$work/msvc-build.log"; fail "linking an MSVC-style host against lib/brailledriver.lib"
  else
    cp "$dll" "$msvc/"
    rc=0; "$source/scripts/wine-run" "$msvc/msvc_linked_host.exe" >"$work/msvc_linked_host.out" 2>&1 </dev/null || rc=$?
    [ $rc = 0 ] || fail "msvc_linked_host exited with $rc (see msvc_linked_host.c)"
  fi
else
  echo "clang or lld-link missing (scripts/install-deps): lib/brailledriver.lib not linked"
fi

# cpack -G ZIP packs the same files.
if ! (cd "$work" && cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work/zip") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; fail "cpack -G ZIP"
else
  zip=$(ls "$work"/zip/brailledriver-*-win64.zip 2>/dev/null | head -1)
  listing=$(cmake -E tar tf "$zip" 2>/dev/null)
  for f in bin/brailledriver.dll bin/brailledriver.dll.debug lib/brailledriver.lib lib/libbrailledriver.dll.a \
           include/brailledriver.h lib/cmake/brailledriver/brailledriverConfig.cmake; do
    grep -q "/$f\$" <<<"$listing" || fail "not in the ZIP: $f"
  done
  (mkdir -p "$work/unzip" && cd "$work/unzip" && cmake -E tar xf "$zip")
  cmp -s "$work"/unzip/*/bin/brailledriver.dll "$dll" || fail "the ZIP's DLL is not the installed (stripped) one"
fi

# The first-run kit: the DLL, the console host, the handover tool and what to do,
# in one folder of the ZIP.
if ! cmake --build "$build" --target first-run-kit >"$work/kit.log" 2>&1; then
  cat "$work/kit.log"; fail "the first-run-kit target"
else
  kit=$(cmake -E chdir "$build" cmake -E tar tf first-run-kit.zip 2>/dev/null | sort | tr '\n' ' ')
  want="first-run-kit/ first-run-kit/README-first-run.txt first-run-kit/brailledriver.dll first-run-kit/handover.exe first-run-kit/host.exe "
  [ "$kit" = "$want" ] || [ "$kit" = "${want#first-run-kit/ }" ] || fail "first-run-kit.zip holds: $kit"
fi

consumer="$work/consumer"
if ! cmake -S "$source/tools/host_example/consumer" -B "$consumer" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer-configure.log" 2>&1; then
  cat "$work/consumer-configure.log"; fail "find_package(brailledriver) in a host project"
elif ! cmake --build "$consumer" -j2 >"$work/consumer-build.log" 2>&1; then
  cat "$work/consumer-build.log"; fail "building a host project against brailledriver::brailledriver"
else
  x86_64-w64-mingw32-objdump -p "$consumer/linked_host.exe" | grep -q 'DLL Name: brailledriver.dll' \
    || fail "linked_host does not import brailledriver.dll"
  if x86_64-w64-mingw32-objdump -p "$consumer/host_example.exe" | grep -q 'DLL Name: brailledriver.dll'; then
    fail "host_example should load the DLL at run time, not import it"
  fi
  [ -f "$consumer/brailledriver.dll" ] || fail "the DLL was not copied next to the host"
  # Output to a file, not a pipe: Wine's service processes may inherit a pipe
  # and keep it open long after the program ended.
  "$source/scripts/wine-run" "$consumer/linked_host.exe" >"$work/linked_host.out" 2>&1 </dev/null \
    || fail "linked_host failed: $(cat "$work/linked_host.out")"
  out=$(tr -d '\r' <"$work/linked_host.out")
  grep -q '^maker KVR, driver code 768, id E8 D9 D2 D5' <<<"$out" || fail "linked_host printed: $out"
fi

# A host in C, compiled as C99 with nothing but the installed header and the
# GNU import library, calls the driver through the C binding.
c_host="$work/linked_host_c.exe"
if ! x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Werror -I"$prefix/include" \
      "$source/tools/host_example/consumer/linked_host_c.c" "$prefix/lib/libbrailledriver.dll.a" \
      -o "$c_host" >"$work/c-build.log" 2>&1; then
  cat "$work/c-build.log"; fail "compiling a C host against the installed header"
else
  cp "$prefix/bin/brailledriver.dll" "$work/"
  "$source/scripts/wine-run" "$c_host" >"$work/linked_host_c.out" 2>&1 </dev/null \
    || fail "linked_host_c failed: $(cat "$work/linked_host_c.out")"
  grep -q '^maker KVR, driver code 768, id E8 D9 D2 D5' <(tr -d '\r' <"$work/linked_host_c.out") \
    || fail "linked_host_c printed: $(cat "$work/linked_host_c.out")"
fi

if [ $failed != 0 ]; then echo "0 passed, 1 failed"; exit 1; fi
echo "installed to $prefix; host project built with find_package and run: $out"
echo "1 passed, 0 failed"
