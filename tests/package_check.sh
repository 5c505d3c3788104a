#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The package check of the current commit: packaging/build makes every package once, and
# this checks what it wrote: versions, file names, build paths, Built-Using, branch
# protection; piuparts, autopkgtest and the manual pages' examples in a clean root of each
# release; reprotest on this machine; the RPM's files, rpmlint, rebuild and install.
# It works in temporary folders and installs nothing on the machine.
# Usage: tests/package_check.sh
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tools="dpkg-buildpackage:dpkg-dev dh:debhelper groff:groff-base mandoc:mandoc git:git cpio:cpio
    reprotest:reprotest faketime:faketime disorderfs:disorderfs mmdebstrap:mmdebstrap
    autopkgtest:autopkgtest piuparts:piuparts rpmbuild:rpm rpmlint:rpmlint find-debuginfo:debugedit
    eu-strip:elfutils dwz:dwz qemu-aarch64-static:qemu-user-static"
missing=()
for tool in $tools; do
    path=$(command -v "${tool%%:*}") && [ -f "$path" ] && [ -x "$path" ] || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "the package check needs: apt-get install -y ${missing[*]}" >&2
    exit 2
fi
[ "$(id -u)" = 0 ] || { echo "the package check runs as root (build roots, rpm --root)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $* ($SECONDS s)"; }
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

# Every example of the manual pages in FOLDER, run as written in ROOT: the first line it
# prints and the exit status it states ("exits N"; none means 0).
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
        first=$(chroot "$root" bash -c "$command" | head -n 1) || rc=$?
        if [ "$first" != "$shown" ] || [ "$rc" != "$status" ]; then
            fail "example '$command' printed '$first' and exited $rc"
        fi
    done <<<"$examples"
}

out=$work/out
"$source_dir/packaging/build" "$out" | tee "$work/build.log"
not_built=$(grep '^not built: ' "$work/build.log" || true)
tarball=$out/halvex-plugins-$version.tar.gz

step "versions, file names, build paths, Built-Using and branch protection"
releases=(bookworm trixie)
declare -A versions
for release in "${releases[@]}"; do
    versions[$release]=$(sed -n 's/^Version: //p' "$out/$release"/*.dsc)
done
# A backport sorts below the newest release's version, and that below the next release.
next=$(awk -F. -v OFS=. '{ $NF += 1; print }' <<<"$version")
for pair in "${versions[bookworm]}:${versions[trixie]}" "${versions[trixie]}:$next"; do
    dpkg --compare-versions "${pair%:*}" lt "${pair#*:}" || fail "$pair: versions out of order"
done
[ "${versions[trixie]}" = "$version" ] || fail "trixie builds ${versions[trixie]}"
duplicates=$(find "$out" -type f -printf '%f\n' | sort | uniq -d)
[ -z "$duplicates" ] || fail "one name for two files: $duplicates"
summary=() && mkdir "$work/files"
for release in "${releases[@]}"; do
    built=$(find "$out/$release" -name '*.changes' -printf '%f\n' | sed 's/.*_//; s/\.changes$//' | sort | paste -s -d' ')
    static=$(find "$out/$release" -name 'halvex-plugins-static_*.deb' -printf '%f\n' | sed 's/.*_//; s/\.deb$//' | sort | paste -s -d' ')
    skipped=$(sed -n "s/^not built: $release \([^:]*\):.*/\1/p" <<<"$not_built" | paste -s -d' ')
    summary+=("$release: $built; static: $static${skipped:+; not built: $skipped}")
    for deb in "$out/$release"/halvex-plugins{,-static}_*.deb; do
        dpkg-deb -x "$deb" "$work/files/${deb##*/}"
        ! grep -r -l -F "/build/halvex-plugins-" "$work/files/${deb##*/}" || fail "a build path is packaged in $deb"
    done
    if [ "$release" = trixie ] && [ -d "$work/files/halvex-plugins_${version}_arm64.deb" ]; then
        for program in "$work/files/halvex-plugins"{,-static}"_${version}_arm64.deb$plugins"/*; do
            grep -q 'AArch64 feature: BTI, PAC$' <<<"$(LC_ALL=C readelf -n "$program")" ||
                fail "$program lacks branch protection"
        done
    fi
done

for release in "${releases[@]}"; do
    step "$release: piuparts, autopkgtest and the manual pages' examples in a clean root"
    root=$work/root-$release
    mmdebstrap --variant=apt --include=apt-utils "$release" "$root" "deb http://deb.debian.org/debian $release main" \
        >"$work/root.log" 2>&1 || fail "mmdebstrap: $(tail -n 20 "$work/root.log")"
    # The static programs embed the release's C library, which their package names.
    glibc=$(chroot "$root" dpkg-query -W -f "\${source:Package} (= \${source:Version})" libc6)
    for deb in "$out/$release"/halvex-plugins-static_*.deb; do
        [ "$(dpkg-deb -f "$deb" Built-Using)" = "$glibc" ] || fail "$deb does not name $glibc"
    done
    debs=("$out/$release"/halvex-plugins{,-static}_"${versions[$release]}_$arch.deb")
    # piuparts works in a copy of the root; the root's own apt leaves a debconf folder behind.
    for deb in "${debs[@]}"; do
        piuparts --existing-chroot="$root" -d "$release" --no-upgrade-test \
            --ignore=/var/cache/debconf/tmp.ci/ "$deb" >"$work/piuparts.log" 2>&1 ||
            fail "piuparts $deb: $(grep -E 'FAIL|ERROR' "$work/piuparts.log")"
    done
    autopkgtest -U "$out/$release/halvex-plugins_${versions[$release]}_$arch.changes" -- chroot "$root" \
        >"$work/autopkgtest.log" 2>&1 || fail "autopkgtest: $(tail -n 30 "$work/autopkgtest.log")"
    for page in "$work/files/${debs[0]##*/}/usr/share/man/man1"/*.gz; do
        mkdir -p "$work/pages" && gzip -dc "$page" >"$work/pages/$(basename "$page" .gz)"
    done
    for deb in "${debs[@]}"; do
        cp "$deb" "$root/tmp/"
        chroot "$root" apt-get install -y "/tmp/${deb##*/}" >"$work/apt.log" 2>&1 ||
            fail "apt-get install $deb: $(cat "$work/apt.log")"
        run_examples "$work/pages" "$root"
    done
done

step "reprotest"
# Every variation but user_group, which needs spare user accounts and sudo. The tests add
# nothing to the packages, so the builds leave them out. The locale variation needs its locale.
grep -q -x 'et_EE.utf8' <<<"$(locale -a)" || fail "reprotest's locale et_EE.UTF-8 is not generated"
mkdir "$work/reprotest" && tar -C "$work/reprotest" -xzf "$tarball"
(cd "$work/reprotest/halvex-plugins-$version" && DEB_BUILD_OPTIONS=nocheck reprotest --no-diffoscope \
    --min-cpus "$(nproc)" --vary=-user_group . -- null) >"$work/reprotest.log" 2>&1 ||
    fail "reprotest: $(tail -n 30 "$work/reprotest.log")"
! grep -i 'setting locale failed' "$work/reprotest.log" || fail "reprotest's locale did not vary"

step "RPM packages"
rpm_build() {
    rpmbuild --define "_topdir $out/rpmbuild" --nodeps --load "$source_dir/tests/rpm_build_root.macros" "$@"
}
rpm=$(echo "$out"/rpm/halvex-plugins-"$version"-*."$(rpm --eval '%{_arch}')".rpm)
# Whole listings, not pipes into grep -q: grep would leave early and fail the writer.
grep -q '/cluster_plugin/main\.cpp$' <<<"$(rpm -qlp "${rpm/plugins-/plugins-debugsource-}")" ||
    fail "the debug sources lack cluster_plugin/main.cpp"
rpm_plugins=$(rpm --eval '%{_libexecdir}')/halvex/plugins
mkdir "$work/rpm-files" && (cd "$work/rpm-files" && rpm2cpio "$rpm" | cpio -id --quiet)
for program in cluster_plugin timeout_tester; do
    ! grep -q '\.symtab' <<<"$(readelf -S -W "$work/rpm-files$rpm_plugins/$program")" ||
        fail "$program is not stripped"
done
lint=$(rpmlint -r "$source_dir/packaging/halvex-plugins.rpmlintrc" "$rpm" "$out"/rpm/*.src.rpm 2>&1) || true
grep -q ' 0 errors, 0 warnings' <<<"$lint" || fail "rpmlint: $lint"
files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" | sed -n 's/^-[^ ]* //p')
[ "$(paste -s -d' ' <<<"$files")" = "$rpm_plugins/cluster_plugin $rpm_plugins/timeout_tester \
/usr/share/doc/halvex-plugins/README.md /usr/share/licenses/halvex-plugins/COPYING \
/usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz" ] ||
    fail "the RPM package holds: $files"
requires=$(rpm -qp --requires "$rpm" | sed '/^rpmlib(/d' | sort | paste -s -d' ')
[[ $requires =~ ^(libc\.so\.6(\([A-Z0-9_.]*\))?\(64bit\) )+rtld\(GNU_HASH\)$ ]] ||
    fail "the RPM requires $requires"
# Rebuilt in the same build root, the source package gives a package of its name with the same files.
rpm_build --rebuild "$out"/rpm/*.src.rpm >"$work/rpm.log" 2>&1 ||
    fail "rpmbuild --rebuild: $(tail -n 30 "$work/rpm.log")"
diff <(rpm -qp --dump "$rpm") <(rpm -qp --dump "$out"/rpmbuild/RPMS/*/"${rpm##*/}") ||
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

printf 'built: %s\n' "${summary[@]}"
[ -z "$not_built" ] || echo "$not_built"
echo "package checks passed"
