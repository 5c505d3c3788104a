#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The package check of the current commit, built from its source tarball:
# - the Debian source package and its binary packages built natively as the build daemons do,
#   in a clean bookworm buildd root, as a user, without network, with the suite; then again
#   without GoogleTest under nocheck, which must give the same bytes;
# - lintian, the manual pages and their examples, reprotest, and autopkgtest and piuparts in a
#   clean bookworm root;
# - the RPM packages, built under a Fedora-like build root;
# - every other Debian release architecture cross-built, with the smoke test and the suite run
#   under emulation.
# It works in temporary copies and installs nothing on the machine. A part left out for want
# of tools is named, and the check then fails.
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
left_out=()
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

step "native build in a clean buildd root, as a user, without network"
root=$work/buildd
build=/build/halvex-plugins-$version
mmdebstrap --variant=buildd --customize-hook="mkdir \"\$1/build\" && tar -C \"\$1/build\" -xzf $tarball" \
    --customize-hook="chroot \"\$1\" apt-get build-dep -y $build" bookworm "$root" >"$work/root.log" 2>&1 ||
    fail "mmdebstrap: $(tail -n 20 "$work/root.log")"
echo 'builder:x:2000:2000::/build:/bin/sh' >>"$root/etc/passwd"
echo 'builder:x:2000:' >>"$root/etc/group"
chown -R 2000:2000 "$root/build"
# COMMAND runs in the root with its own /proc and terminals and no network, as USER.
in_root() { # USER COMMAND
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --net --mount --pid --fork --kill-child sh -c 'mount -t proc proc "$0/proc" &&
        mount -t devpts -o newinstance,ptmxmode=0666 devpts "$0/dev/pts" &&
        mount --bind "$0/dev/pts/ptmx" "$0/dev/ptmx" &&
        exec chroot --userspec="$1" "$0" env -i PATH=/usr/bin:/bin HOME=/build LANG=C.UTF-8 sh -c "$2"' \
        "$root" "$1" "$2"
}
in_root builder "cd $build && dpkg-buildpackage -us -uc -Jauto" >"$work/deb.log" 2>&1 ||
    fail "dpkg-buildpackage: $(tail -n 30 "$work/deb.log")"
suite=$(grep -o -E '^100% tests passed, 0 tests failed out of [0-9]+$' "$work/deb.log" | uniq -c)
[[ $suite =~ ^\ *2\ 100%.*\ ([0-9]+)$ ]] || fail "the suite did not pass twice: $suite"
tests=${BASH_REMATCH[1]}
# binutils translates its messages, which the suite must read all the same.
in_root builder "cd $build && for b in obj-*; do LANGUAGE=fr ctest --test-dir \$b -j $(nproc) || exit; done" \
    >"$work/fr.log" 2>&1 || fail "the suite in a French locale: $(tail -n 30 "$work/fr.log")"
mkdir "$work/deb"
find "$root/build" -maxdepth 1 -type f -exec mv -t "$work/deb" {} +
in_root 0:0 "apt-get purge -y libgtest-dev googletest" >"$work/purge.log" 2>&1 ||
    fail "removing GoogleTest: $(tail -n 20 "$work/purge.log")"
rm -rf "${root:?}$build" && tar -C "$root/build" -xzf "$tarball" && chown -R 2000:2000 "$root/build"
in_root builder "cd $build && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b -Pnocheck -Jauto" \
    >"$work/nocheck.log" 2>&1 || fail "the nocheck build: $(tail -n 30 "$work/nocheck.log")"
for file in "$root/build"/*.deb; do
    cmp "$file" "$work/deb/${file##*/}" || fail "the nocheck build gives another ${file##*/}"
done
deb() { echo "$work/deb/${1}_${version}_$arch.deb"; }
for package in halvex-plugins halvex-plugins-static; do
    for file in "$(deb $package)" "$(deb $package-dbgsym)"; do [ -f "$file" ] || fail "no $file"; done
done
[ -f "$work/deb/halvex-plugins_$version.dsc" ] || fail "no source package"
changes=("$work/deb/halvex-plugins_${version}_$arch.changes")
for package in halvex-plugins halvex-plugins-static; do
    dpkg-deb -x "$(deb $package)" "$work/unpacked-$package"
    ! grep -r -l -F "$build" "$work/unpacked-$package" || fail "a build path is packaged in $package"
done
# The static programs embed the C library: the package names the one, and it is the target's.
built_using() { [[ $(dpkg-deb -f "$1" Built-Using) =~ ^glibc\ \(=\ [^\)]+\)$ ]] ||
    fail "$1 does not name its C library"; }
built_using "$(deb halvex-plugins-static)"
mkdir "$work/pages"
for page in "$work/unpacked-halvex-plugins/usr/share/man/man1"/*.gz; do
    gzip -dc "$page" >"$work/pages/$(basename "$page" .gz)"
done
run_examples "$work/pages" "$work/unpacked-halvex-plugins"

step "reprotest"
# Every variation but user_group, which needs spare user accounts and sudo. The tests add
# nothing to the packages, so the builds leave them out. The locale variation needs its locale.
grep -q -x 'et_EE.utf8' <<<"$(locale -a)" || fail "reprotest's locale et_EE.UTF-8 is not generated"
(cd "$(unpack "$work/reprotest")" && DEB_BUILD_OPTIONS=nocheck reprotest --no-diffoscope \
    --min-cpus "$(nproc)" --vary=-user_group . -- null) >"$work/reprotest.log" 2>&1 ||
    fail "reprotest: $(tail -n 30 "$work/reprotest.log")"
! grep -i 'setting locale failed' "$work/reprotest.log" || fail "reprotest's locale did not vary"

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
autopkgtest -U "${changes[0]}" -- chroot "$work/root" \
    >"$work/autopkgtest.log" 2>&1 || fail "autopkgtest: $(tail -n 30 "$work/autopkgtest.log")"

step "RPM packages under a Fedora-like build root"
rpm_build() {
    rpmbuild --define "_topdir $work/rpm" --nodeps --load "$source_dir/tests/rpm_build_root.macros" "$@"
}
rpm_build -ta "$tarball" >"$work/rpm.log" 2>&1 || fail "rpmbuild: $(tail -n 30 "$work/rpm.log")"
grep -q '^100% tests passed' "$work/rpm.log" || fail "%check ran no suite"
rpm=$(echo "$work"/rpm/RPMS/*/halvex-plugins-"$version"-*.rpm)
# Whole listings, not pipes into grep -q: grep would leave early and fail the writer.
grep -q '/cluster_plugin/main\.cpp$' <<<"$(rpm -qlp "${rpm/plugins-/plugins-debugsource-}")" ||
    fail "the debug sources lack cluster_plugin/main.cpp"
rpm_plugins=$(rpm --eval '%{_libexecdir}')/halvex/plugins
mkdir "$work/rpm-files" && (cd "$work/rpm-files" && rpm2cpio "$rpm" | cpio -id --quiet)
for program in cluster_plugin timeout_tester; do
    ! grep -q '\.symtab' <<<"$(readelf -S -W "$work/rpm-files$rpm_plugins/$program")" ||
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
rpm_root=$work/rpm-root
in_rpm_root() { rpm --root "$rpm_root" --dbpath /var/lib/rpm "$@" 2>"$work/rpm.log" ||
    fail "rpm $*: $(cat "$work/rpm.log")"; }
in_rpm_root --initdb
in_rpm_root -i --nodeps "$rpm"
line=$("$rpm_root$rpm_plugins/cluster_plugin" -h -d 0,1) && fail "the installed RPM's cluster_plugin exited 0"
[ "$line" = "Host cluster problem: 1 up, 1 down, 0 unreachable" ] ||
    fail "the installed RPM's cluster_plugin printed: $line"
in_rpm_root -e halvex-plugins
left=$(rpm -qlp "$rpm" | while read -r path; do [ ! -e "$rpm_root$path" ] || echo "$path"; done
    find "$rpm_root" -path "$rpm_root/var/lib/rpm" -prune -o ! -type d -print)
[ -z "$left" ] || fail "rpm -e leaves behind: $left"

# Every other release architecture, cross-built, its programs and suite run under qemu with
# the target's libraries from / (QEMU_LD_PREFIX=/, as binfmt_misc starts them).
kernel_has_binfmt_namespaces=$(printf '6.7\n%s\n' "$(uname -r)" | sort -V -C && echo yes || echo no)
for target in arm64 armel armhf i386 mips64el mipsel ppc64el s390x; do
    triplet=$(dpkg-architecture -a "$target" -q DEB_HOST_GNU_TYPE 2>/dev/null)
    cpu=$(dpkg-architecture -a "$target" -q DEB_HOST_GNU_CPU 2>/dev/null)
    case $cpu in i686) qemu=i386 ;; powerpc64le) qemu=ppc64le ;; *) qemu=$cpu ;; esac
    if [ ! -x "/usr/bin/$triplet-g++" ] || [ ! -x "/usr/bin/qemu-$qemu-static" ] ||
        ! dpkg-query -W "libc6:$target" "libstdc++6:$target" "libgtest-dev:$target" >/dev/null 2>&1; then
        left_out+=("$target: needs dpkg --add-architecture $target, crossbuild-essential-$target," \
            "libc6:$target, libstdc++6:$target, libgtest-dev:$target and qemu-user-static")
        continue
    fi
    step "$target: cross-built packages, the smoke test and the suite under emulation"
    tree=$(unpack "$work/$target")
    (cd "$tree" && dpkg-buildpackage -a "$target" -Pcross,nocheck -b -us -uc -Jauto) \
        >"$work/$target.log" 2>&1 || fail "the $target cross build: $(tail -n 30 "$work/$target.log")"
    changes+=("$work/$target/halvex-plugins_${version}_$target.changes")
    static=$work/$target/halvex-plugins-static_${version}_$target.deb
    # The static package exists exactly where the target's C library links static PIE.
    if "$triplet-g++" -x c++ -fPIE -static-pie -o /dev/null - <<<'int main() {}' 2>/dev/null; then
        [ -f "$static" ] || fail "no static package for $target, which has static PIE"
        built_using "$static"
        # The static link finds the target's C library, not the cross toolchain's copy.
        link=$(grep -E -- '-static-pie .* -o \.\./bin/cluster_plugin' "$work/$target.log")
        read -r -a search < <(grep -o -E -- ' -[BL][^ ]+' <<<"$link" | paste -s -d' ')
        [ "$("$triplet-g++" "${search[@]}" -print-file-name=libc.a)" = "/usr/lib/$(dpkg-architecture \
            -a "$target" -q DEB_HOST_MULTIARCH)/libc.a" ] || fail "$target static programs link another C library: $link"
    else
        [ ! -f "$static" ] || fail "a static package for $target, which has no static PIE"
    fi
    for deb in "$work/$target"/halvex-plugins{,-static}_"${version}_$target.deb"; do
        [ -f "$deb" ] || continue
        dpkg-deb -x "$deb" "$deb.files"
        "$tree/debian/tests/smoke" "$deb.files$plugins" "qemu-$qemu-static" -L / >"$work/smoke.log" 2>&1 ||
            fail "$(basename "$deb") under emulation: $(cat "$work/smoke.log")"
    done

    if [ "$kernel_has_binfmt_namespaces" = no ]; then
        left_out+=("$target suite: Linux $(uname -r) keeps binfmt_misc out of user namespaces (6.7 has it)")
        continue
    fi
    { cmake -S "$tree" -B "$work/$target-suite" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$cpu" \
        -DCMAKE_CXX_COMPILER="$triplet-g++" && cmake --build "$work/$target-suite" -j "$(nproc)"; } \
        >"$work/$target.log" 2>&1 || fail "the $target suite does not build: $(tail -n 30 "$work/$target.log")"
    # In a user namespace of its own, binfmt_misc starts the target's programs with qemu; P
    # keeps argv[0]. qemu-user-static on amd64 registers no i386, which this kernel runs itself.
    if [ "$qemu" = i386 ]; then
        registration=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP'
    else
        registration=$(sed "s|:[^:]*:[A-Z]*$|:/usr/bin/qemu-$qemu-static:FP|" "/usr/lib/binfmt.d/qemu-$qemu.conf")
    fi
    # qemu-user refuses prctl(PR_SET_CHILD_SUBREAPER), which the killed-suite test needs.
    # shellcheck disable=SC2016 # expanded by the inner shell
    unshare --user --map-root-user --mount bash -c 'mount -t binfmt_misc none /proc/sys/fs/binfmt_misc &&
        echo "$1" >/proc/sys/fs/binfmt_misc/register &&
        QEMU_LD_PREFIX=/ ctest --test-dir "$2" -j 2 -E "^TimeoutTester\.WaitingChildrenDieWithAKilledSuite$"' \
        - "$registration" "$work/$target-suite" >"$work/$target.log" 2>&1 ||
        fail "the $target suite under emulation: $(tail -n 40 "$work/$target.log")"
    if ! grep -q "^100% tests passed, 0 tests failed out of $((tests - 1))$" "$work/$target.log" ||
        grep -q 'Skipped' "$work/$target.log"; then
        fail "the $target suite ran other tests: $(tail -n 20 "$work/$target.log")"
    fi
done

step "lintian on every .changes"
findings=$(TMPDIR=$work lintian --pedantic -I -E "${changes[@]}" 2>&1 | grep -v "running with root privileges" || true)
[ -z "$findings" ] || fail "lintian: $findings"

if [ ${#left_out[@]} -gt 0 ]; then
    printf 'left out: %s\n' "${left_out[@]}" >&2
    fail "the package check did not run in full"
fi
echo "package checks passed"
