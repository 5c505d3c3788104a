#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The package check of a build folder: the source tarball; the Debian package, its manual
# pages and their examples, lintian, and a byte-identical rebuild from the tarball; a
# packager's build, installed by hand and uninstalled with the README's line; and, for a
# build with g++, the RPM packages built from the tarball. It writes only into temporary
# folders of its own.
# Usage: tests/package_check.sh BUILD_DIR
set -euo pipefail
build_dir=$(cd "${1:?usage: package_check.sh BUILD_DIR}" && pwd)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
source_dir=$(cache CMAKE_HOME_DIRECTORY)
compiler=$(cache CMAKE_CXX_COMPILER)
static=$(cache HALVEX_STATIC)
if grep -q 'CMAKE_CXX_COMPILER_ID "GNU"' "$build_dir"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    rpm_build=yes # the RPM packages are built with the distribution's g++
else
    rpm_build=
fi
tools="groff:groff-base mandoc:mandoc lintian:lintian dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev
    cpack:cmake gzip:gzip git:git ${rpm_build:+rpmbuild:rpm rpmlint:rpmlint}"
missing=()
for tool in $tools; do
    path=$(command -v "${tool%%:*}") && [ -f "$path" ] && [ -x "$path" ] || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "the package check needs: apt-get install -y ${missing[*]}" >&2
    exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/started"
fail() { echo "FAIL: $*" >&2; exit 1; }
plugins=/usr/libexec/halvex/plugins
name=halvex-plugins
[ "$static" != ON ] || name=halvex-plugins-static
unset SOURCE_DATE_EPOCH

# Directories 0755, files 0644 or 0755, all owned by root, in a `tar -tv` listing.
check_modes() {
    local odd
    odd=$(grep -v -E '^(drwxr-xr-x|-rw-r--r--|-rwxr-xr-x) root/root ' <<<"$1" || true)
    [ -z "$odd" ] || fail "$2 holds: $odd"
}

# Every example of the manual pages in FOLDER, which name PLUGIN_DIR, run as written against
# the plugins below ROOT: the first line it prints and the exit status it states ("exits N";
# none stated means 0).
run_examples() {
    local folder=$1 plugin_dir=$2 root=$3 examples command shown status rc first
    for page in "$folder"/*.1; do
        warnings=$(groff -man -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
        mandoc -T lint -W warning "$page" || fail "mandoc warns about $page"
        grep -q "^\\.I $plugin_dir/" "$page" || fail "$page does not name $plugin_dir"
    done
    examples=$(awk '
        /^\.SH/ { in_examples = ($2 == "EXAMPLES") }
        in_examples && /^\.TP/ { if (command != "") print command "\t" shown "\t" status
                                 command = ""; shown = ""; status = 0; want = "command"; next }
        in_examples && want == "command" && /^\.B / { command = substr($0, 4); want = "prints"; next }
        in_examples && want == "prints" && /^prints$/ { want = "shown"; next }
        in_examples && want == "shown" && /^\.B / { shown = substr($0, 4); want = ""; next }
        in_examples && match($0, /exits [0-9]+/) { status = substr($0, RSTART + 6, RLENGTH - 6) }
        END { if (command != "") print command "\t" shown "\t" status }
    ' "$folder"/*.1 | sed 's/\\-/-/g')
    [ "$(wc -l <<<"$examples")" -ge 8 ] || fail "too few manual page examples: $examples"
    while IFS=$'\t' read -r command shown status; do
        [[ $command == *"$plugin_dir/"* ]] || fail "example without the full path: $command"
        rc=0
        first=$(bash -c "${command//$plugin_dir\//$root$plugin_dir/}" | head -n 1) || rc=$?
        if [ "$first" != "$shown" ] || [ "$rc" != "$status" ]; then
            fail "example '$command' printed '$first' and exited $rc"
        fi
    done <<<"$examples"
}

# The source tarball: in a git checkout, exactly the files of the current commit.
cpack --config "$build_dir/CPackSourceConfig.cmake" -B "$work/source" >/dev/null
tarball=$work/source/halvex-plugins-$(cache CMAKE_PROJECT_VERSION).tar.gz
[ "$(ls "$work/source"/*.tar* "$work/source"/*.zip 2>/dev/null)" = "$tarball" ] ||
    fail "package_source makes: $(ls "$work/source")"
if [ -z "$(git -C "$source_dir" rev-parse --show-prefix 2>&1)" ]; then
    diff <(git -C "$source_dir" ls-tree -r --name-only HEAD | sort) \
        <(tar -tzf "$tarball" | grep -v '/$' | sed 's|^[^/]*/||' | sort) ||
        fail "the source tarball does not hold exactly the files of the commit"
    check_modes "$(tar -tvzf "$tarball")" "the source tarball"
fi

# The Debian package, made with a strict umask, in another time zone and locale, without
# SOURCE_DATE_EPOCH.
(cd "$build_dir" && umask 0077 && TZ=UTC-14 LC_ALL=C cpack -G DEB -B "$work/package" >/dev/null 2>&1) ||
    fail "cpack -G DEB failed in $build_dir"
deb=$(ls "$work"/package/*.deb)
[ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
contents=$(dpkg-deb -c "$deb")
check_modes "$contents" "the package"
for file in $plugins/cluster_plugin $plugins/timeout_tester \
    /usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz \
    "/usr/share/doc/$name/copyright" "/usr/share/doc/$name/changelog.gz" \
    "/usr/share/lintian/overrides/$name"; do
    grep -q " \.$file\$" <<<"$contents" || fail "package lacks $file"
done
! grep -v -E ' \./(usr/.*)?$' <<<"$contents" || fail "the package installs outside /usr"
depends=$(dpkg-deb -f "$deb" Depends)
if [ "$static" = ON ]; then
    [ -z "$depends" ] || fail "static package depends on: $depends"
    for field in Conflicts Replaces Provides; do
        [ "$(dpkg-deb -f "$deb" "$field")" = halvex-plugins ] || fail "$field is not halvex-plugins"
    done
else
    [[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends: $depends"
fi
for field in Version Maintainer Description Homepage; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field"
done
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian rejects the package"
findings=$(lintian --pedantic -I -E "$deb" 2>&1 | grep -v "running with root privileges" || true)
[ -z "$findings" ] || fail "lintian --pedantic: $findings"
dpkg-deb -x "$deb" "$work/unpacked"
! grep -r -l -F -e "$source_dir" -e "$build_dir" "$work/unpacked" || fail "a build path is packaged"
mkdir "$work/pages"
for page in "$work/unpacked/usr/share/man/man1"/*.gz; do
    gzip -dc "$page" >"$work/pages/$(basename "$page" .gz)"
done
run_examples "$work/pages" "$plugins" "$work/unpacked"

# A packager's build: no GoogleTest, a stronger _FORTIFY_SOURCE, another LIBEXECDIR, the
# default prefix.
packager=$work/packager
CXXFLAGS=-D_FORTIFY_SOURCE=3 cmake -S "$source_dir" -B "$packager" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$compiler" -DHALVEX_STATIC="$static" \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_INSTALL_LIBEXECDIR=lib \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$work/configure.log" 2>&1 || fail "configure without GoogleTest: $(cat "$work/configure.log")"
grep -q "install libgtest-dev" "$work/configure.log" || fail "no word on the missing GoogleTest"
cmake --build "$packager" >/dev/null
grep -q -- "-D_FORTIFY_SOURCE=3" "$packager/compile_commands.json" || fail "caller's level lost"
! grep -q -- "_FORTIFY_SOURCE=2" "$packager/compile_commands.json" || fail "fortify level lowered"

# Installed by hand into a prefix that holds files and folders of its own, and uninstalled
# with the README's line: the programs, pages and documents, no Debian file, pages that name
# where the programs are, and nothing left behind or taken away.
hand=$work/hand
mkdir -p "$hand/share/man/man1" "$hand/share/doc" "$hand/lib"
touch "$hand/share/man/man1/other.1.gz"
before=$(find "$hand" -printf '%M %p\n' | sort)
cmake --install "$packager" --prefix "$hand" >/dev/null
for file in lib/halvex/plugins/cluster_plugin lib/halvex/plugins/timeout_tester \
    share/man/man1/cluster_plugin.1.gz share/man/man1/timeout_tester.1.gz \
    share/doc/halvex-plugins/README.md share/doc/halvex-plugins/COPYING; do
    [ -f "$hand/$file" ] || fail "not installed by hand: $file"
done
if [ -e "$hand/share/lintian" ] || [ -e "$hand/share/doc/halvex-plugins/copyright" ]; then
    fail "a hand install writes Debian files"
fi
mkdir "$work/hand-pages"
for page in "$hand/share/man/man1"/*_*.gz; do
    gzip -dc "$page" >"$work/hand-pages/$(basename "$page" .gz)"
done
run_examples "$work/hand-pages" "$hand/lib/halvex/plugins" ""
uninstall=$(grep -m1 'install_manifest.txt$' "$source_dir/README.md")
(cd "$work" && bash -c "${uninstall//build\/release/packager}") || fail "uninstall: $uninstall"
diff <(echo "$before") <(find "$hand" -printf '%M %p\n' | sort) ||
    fail "the README's uninstall did not undo the install exactly"
cmake "$packager" -DHALVEX_PLUGIN_DIR=lib/checks >/dev/null 2>&1
DESTDIR="$work/stage" cmake --install "$packager" --prefix /opt/h >/dev/null
[ -x "$work/stage/opt/h/lib/checks/cluster_plugin" ] || fail "HALVEX_PLUGIN_DIR ignored"

# The tarball unpacked elsewhere, out of git, built with the default prefix and packaged with
# another umask, time zone and locale: the very same package.
mkdir -p "$work/elsewhere/folder"
tar -xzf "$tarball" -C "$work/elsewhere/folder"
unpacked=$(echo "$work/elsewhere/folder"/halvex-plugins-*)
(
    umask 0002
    export TZ=UTC+12 LC_ALL=C.UTF-8
    cmake -S "$unpacked" -B "$unpacked/_build" -DCMAKE_CXX_COMPILER="$compiler" \
        -DHALVEX_STATIC="$static" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$unpacked/_build" >/dev/null
    cd "$unpacked/_build" && cpack -G DEB -B "$work/again" >/dev/null 2>&1
) || fail "building the package from the source tarball failed"
cmp "$deb" "$work/again/$(basename "$deb")" || fail "the package differs when built elsewhere"

if [ -n "$rpm_build" ]; then
    # The RPM packages, built from the tarball three times in one top folder: rpmlint finds
    # nothing, the second build gives the same bytes, and the third, with umask 0002, the same
    # files with the same modes (the source package it records keeps the umask's modes).
    rpm_options=(--define "_topdir $work/rpm" --nodeps --without check)
    [ "$static" = ON ] && rpm_options+=(--with static)
    rpmbuild -ta "${rpm_options[@]}" "$tarball" >"$work/rpmbuild.log" 2>&1 ||
        fail "rpmbuild: $(tail -n 20 "$work/rpmbuild.log")"
    rpm=$(ls "$work"/rpm/RPMS/*/"$name"-[0-9]*.rpm)
    lint=$(rpmlint --ignore-unused-rpmlintrc -r "$source_dir/packaging/halvex-plugins.rpmlintrc" \
        "$rpm" "$work"/rpm/SRPMS/*.src.rpm 2>&1) || true
    grep -q ' 0 errors, 0 warnings' <<<"$lint" || fail "rpmlint: $lint"
    [ "$(rpm -qp --qf '%{NAME}' "$rpm")" = "$name" ] || fail "RPM name"
    files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" | sed -n 's/^-[^ ]* //p')
    [ "$(paste -s -d' ' <<<"$files")" = "$plugins/cluster_plugin $plugins/timeout_tester \
/usr/share/doc/$name/README.md /usr/share/licenses/$name/COPYING \
/usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz" ] ||
        fail "the RPM package holds: $files"
    requires=$(rpm -qp --requires "$rpm" | sed '/^rpmlib(/d' | sort | paste -s -d' ')
    if [ "$static" = ON ]; then
        [ -z "$requires" ] || fail "the static RPM requires $requires"
        rpm -qp --provides "$rpm" | grep -qx "halvex-plugins = [0-9.]*-[0-9]*" ||
            fail "the static RPM does not provide halvex-plugins"
        [ "$(rpm -qp --conflicts "$rpm")" = halvex-plugins ] || fail "no conflict with halvex-plugins"
    else
        [[ $requires =~ ^(libc\.so\.6(\([A-Z0-9_.]*\))?\(64bit\) )+rtld\(GNU_HASH\)$ ]] ||
            fail "the RPM requires $requires"
    fi
    for build in first again; do
        mv "$work/rpm/RPMS" "$work/rpm/$build"
        (if [ $build = again ]; then umask 0002; fi
            rpmbuild -ta "${rpm_options[@]}" "$tarball" >"$work/rpmbuild.log" 2>&1) ||
            fail "rpmbuild again: $(tail -n 20 "$work/rpmbuild.log")"
    done
    cmp "${rpm/RPMS/first}" "${rpm/RPMS/again}" || fail "the RPM package differs when built again"
    diff <(rpm -qp --dump "${rpm/RPMS/first}") <(rpm -qp --dump "$rpm") ||
        fail "the RPM package built with umask 0002 installs other files or modes"

    if [ "$(id -u)" = 0 ]; then # rpm installs into a root as root only
        # Installed into an empty root, it runs; removed, it leaves none of its files and
        # no file at all outside rpm's database (rpm keeps the parent folders it made).
        root=$work/rpm-root
        in_root() { rpm --root "$root" --dbpath /var/lib/rpm "$@" 2>"$work/rpm.log" ||
            fail "rpm $*: $(cat "$work/rpm.log")"; }
        in_root --initdb
        in_root -i --nodeps "$rpm"
        line=$("$root$(rpm --eval '%{_libexecdir}')/halvex/plugins/cluster_plugin" -h -d 0,1) &&
            fail "the installed RPM's cluster_plugin exited 0"
        [ "$line" = "Host cluster problem: 1 up, 1 down, 0 unreachable" ] ||
            fail "the installed RPM's cluster_plugin printed: $line"
        in_root -e "$name"
        left=$(rpm -qlp "$rpm" | while read -r path; do [ ! -e "$root$path" ] || echo "$path"; done
            find "$root" -path "$root/var/lib/rpm" -prune -o ! -type d -print)
        [ -z "$left" ] || fail "rpm -e leaves behind: $left"
    fi
fi

# cpack brings the build up to date first, which in a built folder changes nothing but the
# build tool's own records.
changed=$(find "$build_dir" -newer "$work/started" ! -type d ! -path '*/CMakeFiles/*')
[ -z "$changed" ] || fail "the check wrote into the build folder: $changed"
echo "package checks passed for $build_dir"
