#!/usr/bin/env bash
# Installs a build into a staging folder, packages it, and checks what lands where.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR STATIC(0|1)
set -euo pipefail
source_dir=$1 build_dir=$2 static=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for page in "$source_dir"/man/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
done

DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /usr >/dev/null
for file in libexec/halvex/plugins/cluster_plugin libexec/halvex/plugins/timeout_tester \
    share/man/man1/cluster_plugin.1.gz share/man/man1/timeout_tester.1.gz; do
    [ -f "$work/stage/usr/$file" ] || fail "not installed: /usr/$file"
done
line=$("$work/stage/usr/libexec/halvex/plugins/cluster_plugin" -h -d 0,1 -c 3) && fail "exit 0"
[ "$line" = "Host cluster problem: 1 up, 1 down, 0 unreachable" ] || fail "installed run: $line"

cmake -S "$source_dir" -B "$work/other" -DBUILD_TESTING=OFF -DHALVEX_PLUGIN_DIR=lib/checks \
    -DHALVEX_STATIC="$([ "$static" = 1 ] && echo ON || echo OFF)" >/dev/null
cmake --build "$work/other" >/dev/null
DESTDIR="$work/other-stage" cmake --install "$work/other" --prefix /opt/h >/dev/null
[ -x "$work/other-stage/opt/h/lib/checks/cluster_plugin" ] || fail "HALVEX_PLUGIN_DIR ignored"

(cd "$build_dir" && cpack -G DEB -B "$work/package" >/dev/null)
deb=$(ls "$work"/package/*.deb)
contents=$(dpkg-deb -c "$deb")
for file in ./usr/libexec/halvex/plugins/cluster_plugin ./usr/libexec/halvex/plugins/timeout_tester \
    ./usr/share/man/man1/cluster_plugin.1.gz ./usr/share/man/man1/timeout_tester.1.gz; do
    grep -q " $file\$" <<<"$contents" || fail "package lacks $file"
done
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$static" = 1 ]; then
    [ -z "$depends" ] || fail "static package depends on: $depends"
else
    [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends: $depends"
fi
for field in Version Maintainer Description; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done
echo "install and package checks passed"
