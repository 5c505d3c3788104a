#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs a build into a staging folder and packages it; checks the manual pages, what
# lands where, the package against lintian, a build without GoogleTest with a packager's
# settings, and that the source tarball builds, in another folder, the very same package.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR STATIC(0|1) [PRESET]
set -euo pipefail
source_dir=$1 build_dir=$2 static=$3 preset=${4:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in groff:groff-base mandoc:mandoc lintian:lintian dpkg-deb:dpkg-deb \
    dpkg-shlibdeps:dpkg-dev cpack:cmake gzip:gzip; do
    command -v "${tool%%:*}" >/dev/null || fail "${tool%%:*} is missing: install ${tool#*:}"
done
plugins=/usr/libexec/halvex/plugins
export SOURCE_DATE_EPOCH=1765152000

for page in "$build_dir"/man/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
    mandoc -T lint -W warning "$page" || fail "mandoc warns about $page"
done

DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /usr >/dev/null
for file in $plugins/cluster_plugin $plugins/timeout_tester \
    /usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz; do
    [ -f "$work/stage$file" ] || fail "not installed: $file"
done

# Every example in the manual pages, run as written against the staged plugins: the first
# line it prints and the exit status it states ("exits N"; none stated means 0).
examples=$(awk '
    /^\.SH/ { in_examples = ($2 == "EXAMPLES") }
    in_examples && /^\.TP/ { if (command != "") print command "\t" shown "\t" status
                             command = ""; shown = ""; status = 0; want = "command"; next }
    in_examples && want == "command" && /^\.B / { command = substr($0, 4); want = "prints"; next }
    in_examples && want == "prints" && /^prints$/ { want = "shown"; next }
    in_examples && want == "shown" && /^\.B / { shown = substr($0, 4); want = ""; next }
    in_examples && match($0, /exits [0-9]+/) { status = substr($0, RSTART + 6, RLENGTH - 6) }
    END { if (command != "") print command "\t" shown "\t" status }
' "$build_dir"/man/*.1 | sed 's/\\-/-/g')
[ "$(wc -l <<<"$examples")" -ge 8 ] || fail "too few manual page examples: $examples"
while IFS=$'\t' read -r command shown status; do
    [[ $command == *"$plugins/"* ]] || fail "example without the full path: $command"
    rc=0
    first=$(bash -c "${command//$plugins\//$work/stage$plugins/}" | head -n 1) || rc=$?
    if [ "$first" != "$shown" ] || [ "$rc" != "$status" ]; then
        fail "example '$command' printed '$first' and exited $rc"
    fi
done <<<"$examples"

# A packager's build: no GoogleTest, a stronger _FORTIFY_SOURCE, another LIBEXECDIR.
other=$work/other
CXXFLAGS=-D_FORTIFY_SOURCE=3 cmake -S "$source_dir" -B "$other" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_INSTALL_LIBEXECDIR=lib \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DHALVEX_STATIC="$([ "$static" = 1 ] && echo ON || echo OFF)" \
    >"$work/configure.log" 2>&1 || fail "configure without GoogleTest: $(cat "$work/configure.log")"
grep -q "install libgtest-dev" "$work/configure.log" || fail "no word on the missing GoogleTest"
cmake --build "$other" >/dev/null
grep -q -- "-D_FORTIFY_SOURCE=3" "$other/compile_commands.json" || fail "caller's level lost"
! grep -q -- "_FORTIFY_SOURCE=2" "$other/compile_commands.json" || fail "fortify level lowered"
DESTDIR="$work/other-stage" cmake --install "$other" --prefix /opt/h >/dev/null
[ -x "$work/other-stage/opt/h/lib/halvex/plugins/cluster_plugin" ] ||
    fail "CMAKE_INSTALL_LIBEXECDIR ignored"
cmake "$other" -DHALVEX_PLUGIN_DIR=lib/checks >/dev/null 2>&1
DESTDIR="$work/other-stage" cmake --install "$other" --prefix /opt/h >/dev/null
[ -x "$work/other-stage/opt/h/lib/checks/cluster_plugin" ] || fail "HALVEX_PLUGIN_DIR ignored"

(cd "$build_dir" && cpack -G DEB -B "$work/package" >/dev/null 2>&1)
deb=$(ls "$work"/package/*.deb)
name=$([ "$static" = 1 ] && echo halvex-plugins-static || echo halvex-plugins)
[ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
contents=$(dpkg-deb -c "$deb")
for file in $plugins/cluster_plugin $plugins/timeout_tester \
    /usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz \
    "/usr/share/doc/$name/copyright" "/usr/share/doc/$name/changelog.gz" \
    "/usr/share/lintian/overrides/$name"; do
    grep -q " \.$file\$" <<<"$contents" || fail "package lacks $file"
done
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$static" = 1 ]; then
    [ -z "$depends" ] || fail "static package depends on: $depends"
    for field in Conflicts Replaces Provides; do
        [ "$(dpkg-deb -f "$deb" "$field")" = halvex-plugins ] || fail "$field is not halvex-plugins"
    done
else
    [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends: $depends"
fi
for field in Version Maintainer Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian rejects the package"
findings=$(lintian --pedantic -I -E "$deb" 2>&1 | grep -v "running with root privileges" || true)
[ -z "$findings" ] || fail "lintian --pedantic: $findings"
dpkg-deb -x "$deb" "$work/unpacked"
! grep -r -l -F -e "$source_dir" -e "$build_dir" "$work/unpacked" || fail "a build path is packaged"

# The source tarball, unpacked elsewhere and built as the README says, gives the same package.
cpack --config "$build_dir/CPackSourceConfig.cmake" -B "$work/source" >/dev/null
tarball=$work/source/halvex-plugins-$(dpkg-deb -f "$deb" Version).tar.gz
[ "$(ls "$work/source"/*.tar* "$work/source"/*.zip 2>/dev/null)" = "$tarball" ] ||
    fail "package_source makes: $(ls "$work/source")"
if git -C "$source_dir" rev-parse --show-toplevel 2>/dev/null | grep -qxF "$source_dir"; then
    diff <(git -C "$source_dir" ls-files | sort) \
        <(tar -tzf "$tarball" | grep -v '/$' | sed 's|^[^/]*/||' | sort) ||
        fail "the source tarball does not hold exactly the tracked files"
fi
[ -n "$preset" ] || { echo "install and package checks passed (no preset: no rebuild)"; exit 0; }
mkdir -p "$work/elsewhere/folder"
tar -xzf "$tarball" -C "$work/elsewhere/folder"
cd "$work/elsewhere/folder"/halvex-plugins-*
if [ "$preset" = release ]; then # the Quick start's first line, as it stands
    quick_start=$(grep -m1 '^cmake --preset release && ' README.md)
    line=$(bash -c "$quick_start" 2>&1 | tail -n 1) && fail "Quick start exited 0"
    [ "$line" = "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical" ] ||
        fail "Quick start from the tarball: $line"
else
    cmake --preset "$preset" -DBUILD_TESTING=OFF >/dev/null && cmake --build --preset "$preset" >/dev/null
fi
(cd "build/$preset" && cpack -G DEB -B "$work/again" >/dev/null 2>&1)
cmp "$deb" "$work/again/$(basename "$deb")" || fail "the package differs when built elsewhere"
echo "install and package checks passed"
