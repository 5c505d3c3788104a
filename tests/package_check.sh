#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The package check of the current commit, built from its source tarball:
# - the Debian source package and both binary packages from dpkg-buildpackage, with lintian,
#   the manual pages and their examples, the suite once more in a French locale, reprotest,
#   and autopkgtest and piuparts in a clean bookworm root;
# - the RPM packages, built under a Fedora-like build root;
# - where the cross toolchain is installed, the arm64 packages, lintian, the smoke test and
#   the suite under emulation.
# It works in temporary copies and installs nothing on the machine.
# Usage: tests/package_check.sh
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tools="dpkg-buildpackage:dpkg-dev dh:debhelper lintian:lintian groff:groff-base mandoc:mandoc
    git:git cpio:cpio reprotest:reprotest faketime:faketime disorderfs:disorderfs mmdebstrap:mmdebstrap
    autopkgtest:autopkgtest piuparts:piuparts rpmbuild:rpm rpmlint:rpmlint
    find-debuginfo:debugedit eu-strip:elfutils dwz:dwz"
missing=()
for tool in $tools; do
    path=$(command -v "${tool%%:*}") && [ -f "$path" ] && [ -x "$path" ] || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "the package check needs: apt-get install -y ${missing[*]}" >&2
    exit 2
fi
[ "$(id -u)" = 0 ] || { echo "the package check runs as root (chroots, rpm --root)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }
passed() { echo "package checks passed"; exit 0; }
unset SOURCE_DATE_EPOCH
plugins=/usr/libexec/halvex/plugins
arch=$(dpkg --print-architecture)

# One release: the project's version and day, in debian/changelog and the RPM build file.
version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' "$source_dir/CMakeLists.txt")
day=$(sed -n 's/^set(HALVEX_RELEASE_DATE \(.*\))$/\1/p' "$source_dir/CMakeLists.txt")
changelog() { dpkg-parsechangelog -l "$source_dir/debian/changelog" -S "$1"; }
rpm_file=$source_dir/packaging/halvex-plugins.spec
rpm_entry=$(sed -n '/^%changelog/,$ { /^\* /{ p; q } }' "$rpm_file")
[ "$(changelog Version)" = "$version" ] || fail "debian/changelog: $(changelog Version)"
[ "$(date -u -d "$(changelog Date)" +%F)" = "$day" ] || fail "debian/changelog: $(changelog Date)"
grep -q "^Version: *$version$" "$rpm_file" || fail "the RPM build file names another version"
[[ $rpm_entry == *" - $version-"* && $(date -u -d "$(cut -d' ' -f2-5 <<<"$rpm_entry")" +%F) == "$day" ]] ||
    fail "the RPM changelog begins: $rpm_entry"

# The source tarball, as the README makes it, unpacked where each build needs it.
tarball=$work/halvex-plugins-$version.tar.gz
git -C "$source_dir" archive --prefix="halvex-plugins-$version/" -o "$tarball" HEAD
unpack() { mkdir -p "$1" && tar -C "$1" -xzf "$tarball" && echo "$1/halvex-plugins-$version"; }

# Every example of the manual pages in FOLDER, run as written against the plugins below
# ROOT: the first line it prints and the exit status it states ("exits N"; none means 0).
run_examples() {
    local folder=$1 root=$2 examples command shown status rc first
    for page in "$folder"/*.1; do
        warnings=$(groff -man -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
        mandoc -T lint -W warning "$page" || fail "mandoc warns about $page"
        grep -q "^\\.I $plugins/" "$page" || fail "$page does not name $plugins"
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
        [[ $command == *"$plugins/"* ]] || fail "example without the full path: $command"
        rc=0
        first=$(bash -c "${command//$plugins\//$root$plugins/}" | head -n 1) || rc=$?
        if [ "$first" != "$shown" ] || [ "$rc" != "$status" ]; then
            fail "example '$command' printed '$first' and exited $rc"
        fi
    done <<<"$examples"
}

step "Debian source and binary packages"
tree=$(unpack "$work/deb")
(cd "$tree" && dpkg-buildpackage -us -uc -Jauto) >"$work/deb.log" 2>&1 ||
    fail "dpkg-buildpackage: $(tail -n 30 "$work/deb.log")"
[ "$(grep -c '^100% tests passed' "$work/deb.log")" = 2 ] || fail "the suite did not run twice"
deb() { echo "$work/deb/${1}_${version}_$arch.deb"; }
for package in halvex-plugins halvex-plugins-static; do
    for file in "$(deb $package)" "$(deb $package-dbgsym)"; do [ -f "$file" ] || fail "no $file"; done
done
[ -f "$work/deb/halvex-plugins_$version.dsc" ] || fail "no source package"
lint() {
    findings=$(lintian --pedantic -I -E "$1" 2>&1 | grep -v "running with root privileges" || true)
    [ -z "$findings" ] || fail "lintian: $findings"
}
lint "$work/deb/halvex-plugins_${version}_$arch.changes"
[[ $(dpkg-deb -f "$(deb halvex-plugins-static)" Built-Using) =~ ^glibc\ \(=\ [^\)]+\)$ ]] ||
    fail "the static package does not name its C library"
dpkg-deb -x "$(deb halvex-plugins)" "$work/unpacked"
! grep -r -l -F "$work" "$work/unpacked" || fail "a build path is packaged"
mkdir "$work/pages"
for page in "$work/unpacked/usr/share/man/man1"/*.gz; do
    gzip -dc "$page" >"$work/pages/$(basename "$page" .gz)"
done
run_examples "$work/pages" "$work/unpacked"
for build in "$tree"/obj-*; do
    LANG=C.UTF-8 LANGUAGE=fr ctest --test-dir "$build" -j "$(nproc)" >"$work/fr.log" 2>&1 ||
        fail "the suite in a French locale: $(tail -n 30 "$work/fr.log")"
done

step "reprotest"
# Every variation but user_group, which needs spare user accounts and sudo. The tests add
# nothing to the packages, so the builds leave them out.
(cd "$(unpack "$work/reprotest")" && DEB_BUILD_OPTIONS=nocheck reprotest --no-diffoscope \
    --min-cpus "$(nproc)" --vary=-user_group . -- null) >"$work/reprotest.log" 2>&1 ||
    fail "reprotest: $(tail -n 30 "$work/reprotest.log")"

step "autopkgtest and piuparts in a clean bookworm root"
mmdebstrap --variant=apt --include=apt-utils bookworm "$work/root.tar" >"$work/root.log" 2>&1 ||
    fail "mmdebstrap: $(tail -n 20 "$work/root.log")"
mkdir "$work/root" && tar -C "$work/root" -xf "$work/root.tar"
# piuparts works in a copy of the root; the root's own apt leaves a debconf folder behind.
for package in halvex-plugins halvex-plugins-static; do
    piuparts --existing-chroot="$work/root" -d bookworm --no-upgrade-test \
        --ignore=/var/cache/debconf/tmp.ci/ "$(deb $package)" >"$work/piuparts.log" 2>&1 ||
        fail "piuparts $package: $(grep -E 'FAIL|ERROR' "$work/piuparts.log")"
done
autopkgtest -U "$work/deb/halvex-plugins_${version}_$arch.changes" -- chroot "$work/root" \
    >"$work/autopkgtest.log" 2>&1 || fail "autopkgtest: $(tail -n 30 "$work/autopkgtest.log")"

step "RPM packages under a Fedora-like build root"
rpm_build() {
    rpmbuild --define "_topdir $work/rpm" --nodeps --load "$source_dir/tests/rpm_build_root.macros" "$@"
}
rpm_build -ta "$tarball" >"$work/rpm.log" 2>&1 || fail "rpmbuild: $(tail -n 30 "$work/rpm.log")"
grep -q '^100% tests passed' "$work/rpm.log" || fail "%check ran no suite"
rpm=$(echo "$work"/rpm/RPMS/*/halvex-plugins-"$version"-*.rpm)
rpm -qlp "${rpm/plugins-/plugins-debugsource-}" | grep -q '/cluster_plugin/main\.cpp$' ||
    fail "the debug sources lack cluster_plugin/main.cpp"
rpm_plugins=$(rpm --eval '%{_libexecdir}')/halvex/plugins
mkdir "$work/rpm-files" && (cd "$work/rpm-files" && rpm2cpio "$rpm" | cpio -id --quiet)
for program in cluster_plugin timeout_tester; do
    ! readelf -S -W "$work/rpm-files$rpm_plugins/$program" | grep -q '\.symtab' ||
        fail "$program is not stripped"
done
lint=$(rpmlint -r "$source_dir/packaging/halvex-plugins.rpmlintrc" "$rpm" "$work"/rpm/SRPMS/*.src.rpm 2>&1) || true
grep -q ' 0 errors, 0 warnings' <<<"$lint" || fail "rpmlint: $lint"
files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" | sed -n 's/^-[^ ]* //p')
[ "$(paste -s -d' ' <<<"$files")" = "$rpm_plugins/cluster_plugin $rpm_plugins/timeout_tester \
/usr/share/doc/halvex-plugins/README.md /usr/share/licenses/halvex-plugins/COPYING \
/usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz" ] ||
    fail "the RPM package holds: $files"
requires=$(rpm -qp --requires "$rpm" | sed '/^rpmlib(/d' | sort | paste -s -d' ')
[[ $requires =~ ^(libc\.so\.6(\([A-Z0-9_.]*\))?\(64bit\) )+rtld\(GNU_HASH\)$ ]] ||
    fail "the RPM requires $requires"
# The source package rebuilds into a package of its own name, with the same files.
mv "$work/rpm/RPMS" "$work/rpm/first"
rpm_build --rebuild "$work"/rpm/SRPMS/*.src.rpm >"$work/rpm.log" 2>&1 ||
    fail "rpmbuild --rebuild: $(tail -n 30 "$work/rpm.log")"
diff <(rpm -qp --dump "${rpm/RPMS/first}") <(rpm -qp --dump "$rpm") ||
    fail "the rebuilt source package installs other files"
# Without GoogleTest, %check fails.
! rpm_build -ta --define 'halvex_cmake_options -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON' \
    "$tarball" >"$work/rpm.log" 2>&1 || fail "%check passed without GoogleTest"
grep -q 'install_libgtest_dev_to_build_the_tests.*Failed' "$work/rpm.log" ||
    fail "the build without GoogleTest failed elsewhere: $(tail -n 20 "$work/rpm.log")"
# Installed into an empty root, it runs; removed, it leaves none of its files and no file at
# all outside rpm's database (rpm keeps the parent folders it made).
root=$work/rpm-root
in_root() { rpm --root "$root" --dbpath /var/lib/rpm "$@" 2>"$work/rpm.log" ||
    fail "rpm $*: $(cat "$work/rpm.log")"; }
in_root --initdb
in_root -i --nodeps "$rpm"
line=$("$root$rpm_plugins/cluster_plugin" -h -d 0,1) && fail "the installed RPM's cluster_plugin exited 0"
[ "$line" = "Host cluster problem: 1 up, 1 down, 0 unreachable" ] ||
    fail "the installed RPM's cluster_plugin printed: $line"
in_root -e halvex-plugins
left=$(rpm -qlp "$rpm" | while read -r path; do [ ! -e "$root$path" ] || echo "$path"; done
    find "$root" -path "$root/var/lib/rpm" -prune -o ! -type d -print)
[ -z "$left" ] || fail "rpm -e leaves behind: $left"

if [ ! -x /usr/bin/aarch64-linux-gnu-g++ ] || [ ! -x /usr/bin/qemu-aarch64-static ] ||
    ! dpkg-query -W libc6-dev:arm64 libgtest-dev:arm64 >/dev/null 2>&1; then
    echo "no arm64 packages without: dpkg --add-architecture arm64; apt-get update;" \
        "apt-get install -y crossbuild-essential-arm64 libc6-dev:arm64 libgtest-dev:arm64 qemu-user-static"
    passed
fi
step "arm64 packages, cross-built"
tree=$(unpack "$work/arm64")
(cd "$tree" && dpkg-buildpackage -a arm64 -Pcross,nocheck -b -us -uc -Jauto) >"$work/arm64.log" 2>&1 ||
    fail "the arm64 cross build: $(tail -n 30 "$work/arm64.log")"
lint "$work/arm64/halvex-plugins_${version}_arm64.changes"
static=$work/arm64/halvex-plugins-static_${version}_arm64.deb
[[ $(dpkg-deb -f "$static" Built-Using) =~ ^glibc\ \(=\ [^\)]+\)$ ]] ||
    fail "the arm64 static package does not name its C library"
# The static link finds the arm64 C library, not the cross toolchain's copy.
link=$(grep -E -- '-static-pie .* -o \.\./bin/cluster_plugin' "$work/arm64.log")
read -r -a search < <(grep -o -E -- ' -[BL][^ ]+' <<<"$link" | paste -s -d' ')
[ "$(aarch64-linux-gnu-g++ "${search[@]}" -print-file-name=libc.a)" = /usr/lib/aarch64-linux-gnu/libc.a ] ||
    fail "the arm64 static programs link another C library: $link"
for package in halvex-plugins halvex-plugins-static; do
    dpkg-deb -x "$work/arm64/${package}_${version}_arm64.deb" "$work/arm64-$package"
    "$tree/debian/tests/smoke" "$work/arm64-$package$plugins" \
        qemu-aarch64-static -L /usr/aarch64-linux-gnu >"$work/smoke.log" 2>&1 ||
        fail "arm64 $package under emulation: $(cat "$work/smoke.log")"
done

step "the suite for arm64, under emulation"
if ! printf '6.7\n%s\n' "$(uname -r)" | sort -V -C; then
    echo "Linux $(uname -r) keeps binfmt_misc out of user namespaces (6.7 or later has it):" \
        "the arm64 suite is not run"
    passed
fi
{ cmake -S "$tree" -B "$work/arm64-tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
    -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ && cmake --build "$work/arm64-tests" -j "$(nproc)"; } \
    >"$work/arm64.log" 2>&1 || fail "the arm64 suite does not build: $(tail -n 30 "$work/arm64.log")"
# qemu-user refuses prctl(PR_SET_CHILD_SUBREAPER), which the killed-suite test needs; and
# /proc/PID/syscall shows the host's system call numbers, by which the other four see
# timeout_tester reach its wait.
unsupported='^TimeoutTester\.(WaitingChildrenDieWithAKilledSuite|AnyArgumentsMakeItWaitUntilKilledWithoutOutput|JobControlStopsAndContinuesItAndHarmlessSignalsLeaveItWaiting|SignalsItsStarterIgnoresStayIgnored|TerminatingSignalsEndItByThatSignal)$'
# In a user namespace of its own, binfmt_misc starts arm64 programs with qemu.
registration=':qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-aarch64-static:FP'
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --user --map-root-user --mount bash -c 'mount -t binfmt_misc none /proc/sys/fs/binfmt_misc &&
    echo "$1" >/proc/sys/fs/binfmt_misc/register &&
    QEMU_LD_PREFIX=/usr/aarch64-linux-gnu ctest --test-dir "$2" -j "$(nproc)" -E "$3"' \
    - "$registration" "$work/arm64-tests" "$unsupported" >"$work/arm64.log" 2>&1 ||
    fail "the arm64 suite under emulation: $(tail -n 40 "$work/arm64.log")"
grep -q '^100% tests passed, 0 tests failed out of 11$' "$work/arm64.log" ||
    fail "the arm64 suite ran other tests: $(tail -n 20 "$work/arm64.log")"
passed
