#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck disable=SC2015 # fail exits: "A && B || fail" fails unless both hold
# The package check of the current commit: packaging/release makes and signs every package
# once, with a key of the check's, and this checks what it wrote: signatures, versions, file
# names, build paths, Built-Using, branch protection; in a clean root of each release,
# piuparts, autopkgtest and the README's lines against the release served on 127.0.0.1;
# reprotest on this machine; the RPM's files, rpmlint, rebuild, install, and dnf.
# Its own files go to mktemp folders, removed at the end; it installs nothing on the machine.
# Usage: tests/package_check.sh
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
tools="cmake:cmake g++:g++ make:make readelf:binutils dpkg-buildpackage:dpkg-dev dh:debhelper groff:groff-base mandoc:mandoc git:git cpio:cpio
    reprotest:reprotest faketime:faketime disorderfs:disorderfs mmdebstrap:mmdebstrap
    autopkgtest:autopkgtest piuparts:piuparts rpmbuild:rpm rpmlint:rpmlint find-debuginfo:debugedit
    eu-strip:elfutils dwz:dwz qemu-aarch64-static:qemu-user-static reprepro:reprepro gpg:gnupg
    createrepo_c:createrepo-c dnf:dnf python3:python3"
missing=()
for tool in $tools; do
    path=$(command -v "${tool%%:*}") && [ -f "$path" ] && [ -x "$path" ] || missing+=("${tool#*:}")
done
# dpkg-buildpackage needs build-essential, and the RPM's suite on this machine GoogleTest.
# shellcheck disable=SC2016 # dpkg-query's own format
[ "$(dpkg-query -W -f '${db:Status-Status}' build-essential 2>/dev/null)" = installed ] || missing+=(build-essential)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "the package check needs: apt-get install -y ${missing[*]}" >&2
    exit 2
fi
[ "$(id -u)" = 0 ] || { echo "the package check runs as root (build roots, rpm --root)" >&2; exit 2; }
# reprotest varies the locale to et_EE.UTF-8, which would otherwise silently fall back to C.
grep -q -x 'et_EE.utf8' <<<"$(locale -a)" || { echo "the package check needs the locale et_EE.UTF-8 (locale-gen)" >&2; exit 2; }

# The check's keys live apart from its folder, which must hold no secret key.
work=$(mktemp -d) keys=$(mktemp -d) server=
cleanup() {
    [ -z "$server" ] || kill "$server"
    GNUPGHOME=$keys gpgconf --kill all
    rm -rf "$work" "$keys"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
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

export GNUPGHOME=$keys
for name in release other; do
    gpg --batch --passphrase '' --quick-gen-key "Halvex $name check <$name@example.org>" ed25519 sign 1d 2>/dev/null
done
read -r -d '' key other < <(gpg --batch --with-colons --list-keys 2>/dev/null | awk -F: '/^fpr:/ { print $10 }') || true
step "packaging/release refuses a key that cannot sign and a folder that is not empty"
refused() { # MESSAGE ARGUMENTS...
    ! "$source_dir/packaging/release" "${@:2}" 2>"$work/refusal" && grep -q -F "$1" "$work/refusal" ||
        fail "packaging/release ${*:2}: $(cat "$work/refusal")"
}
mkdir "$work/full" && touch "$work/full/file"
refused 'cannot sign' --key "${key//?/0}" "$work/refused" && refused 'not an empty folder' --key "$key" "$work/full"
[ ! -e "$work/refused" ] && [ "$(ls -A "$work/full")" = file ] || fail "a refused release left files behind"

served=$work/served out=$work/served/release
"$source_dir/packaging/release" --key "$key" "$out" | tee "$work/build.log"
not_built=$(grep '^not built: ' "$work/build.log" || true)
tarball=$out/halvex-plugins-$version.tar.gz pool=$out/debian/pool/main/h/halvex-plugins
step "no secret key in the release or this check's folder; the signatures"
while IFS= read -r -d '' file; do
    ! gpg --batch --list-packets "$file" 2>/dev/null | grep -q '^:secret' || fail "$file holds a secret key"
done < <(find "$work" -type f -print0)
verify() { gpgv --keyring "$out/halvex-archive-keyring.gpg" "$@" 2>"$work/gpgv.log" || fail "gpgv $*: $(cat "$work/gpgv.log")"; }
verify "$tarball.asc" "$tarball"
verify "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
for suite in "$out"/debian/dists/*; do verify "$suite/InRelease" && verify "$suite/Release.gpg" "$suite/Release"; done

step "versions, file names, build paths, Built-Using and branch protection"
releases=(bookworm trixie)
declare -A versions
for release in "${releases[@]}"; do
    versions[$release]=$(gzip -dc "$out/debian/dists/$release/main/source/Sources.gz" | sed -n 's/^Version: //p')
done
# A backport sorts below the newest release's version, and that below the next release.
next=$(awk -F. -v OFS=. '{ $NF += 1; print }' <<<"$version")
for pair in "${versions[bookworm]}:${versions[trixie]}" "${versions[trixie]}:$next"; do
    dpkg --compare-versions "${pair%:*}" lt "${pair#*:}" || fail "$pair: versions out of order"
done
[ "${versions[trixie]}" = "$version" ] || fail "trixie builds ${versions[trixie]}"
duplicates=$(find "$out" -type f -regex '.*\.\(deb\|dsc\|rpm\|tar\..*\)' -printf '%f\n' | sort | uniq -d)
[ -z "$duplicates" ] || fail "one name for two files: $duplicates"
summary=() && mkdir "$work/files"
no_build_path() { # FOLDER PACKAGE BUILD_PATH...
    local paths=("${@:3}")
    ! grep -r -l -F "${paths[@]/#/-e}" "$1" || fail "a build path is packaged in $2"
}
for release in "${releases[@]}"; do
    built=$(find "$pool" -name "halvex-plugins_${versions[$release]}_*.deb" -printf '%f\n' | sed 's/.*_//; s/\.deb$//' | sort | paste -s -d' ')
    static=$(find "$pool" -name "halvex-plugins-static_${versions[$release]}_*.deb" -printf '%f\n' | sed 's/.*_//; s/\.deb$//' | sort | paste -s -d' ')
    skipped=$(sed -n "s/^not built: $release \([^:]*\):.*/\1/p" <<<"$not_built" | paste -s -d' ')
    summary+=("$release: $built; static: $static${skipped:+; not built: $skipped}")
    for deb in "$pool"/halvex-plugins{,-static}_"${versions[$release]}"_*.deb; do
        dpkg-deb -x "$deb" "$work/files/${deb##*/}"
        no_build_path "$work/files/${deb##*/}" "$deb" /build/halvex-plugins-
    done
    if [ "$release" = trixie ] && [ -d "$work/files/halvex-plugins_${version}_arm64.deb" ]; then
        for program in "$work/files/halvex-plugins"{,-static}"_${version}_arm64.deb$plugins"/*; do
            grep -q 'AArch64 feature: BTI, PAC$' <<<"$(LC_ALL=C readelf -n "$program")" ||
                fail "$program lacks branch protection"
        done
    fi
done

step "the release served on 127.0.0.1, with a copy signed by another key and one with a changed package"
cp -r "$out" "$served/other-key" && cp -r "$out" "$served/tampered"
resign() { gpg --batch --yes --local-user "$other" "$@"; }
for suite in "$served"/other-key/debian/dists/*; do
    resign --clearsign -o "$suite/InRelease" "$suite/Release" && resign --detach-sign -o "$suite/Release.gpg" "$suite/Release"
done
resign --armor --detach-sign "$served/other-key/rpm/repodata/repomd.xml"
for deb in "$served"/tampered/debian/pool/main/h/halvex-plugins/halvex-plugins_*_"$arch".deb; do
    at=$(($(stat -c %s "$deb") / 2)) && byte=$(od -A n -t u1 -j "$at" -N 1 "$deb")
    printf '%b' "\\$(printf %03o $((byte ^ 1)))" | dd of="$deb" bs=1 seek="$at" conv=notrunc status=none
done
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$served" >"$work/server.log" 2>&1 &
server=$! url=
for _ in $(seq 100); do url=$(grep -o -m 1 'http://127\.0\.0\.1:[0-9]*' "$work/server.log") && break; sleep 0.1; done
[ -n "$url" ] || fail "the HTTP server did not start: $(cat "$work/server.log")"
# The README's Nth block of lines under "Installing from the repository", with the release at URL.
readme_lines() { # N URL
    awk -v n="$1" '/^## / { section = ($0 == "## Installing from the repository") }
        section && /^```/ { open = !open; blocks += open; next } section && open && blocks == n' \
        "$source_dir/README.md" | sed "s|^repo=.*|repo=$2|"
}
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@" >"$work/apt.log" 2>&1; }
add_repository() { in_root bash -euc "$(readme_lines 1 "$1")"; }
# The Quick start's plugin line and exit status, from the installed plugin.
quick_start=$(sed -n 's|^cmake --preset release .* build/release/bin/\(cluster_plugin .*\)$|\1|p' "$source_dir/README.md")
quick_start_line() {
    local shown && shown=$(chroot "$root" bash -c "line=\$($plugins/$quick_start); echo \"\$line \$?\"")
    [ "$shown" = "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical 1" ] || fail "$release: $quick_start: $shown"
}
# shellcheck disable=SC2016 # dpkg-query's own format
installed() { chroot "$root" dpkg-query -W -f '${Version} ' "$@"; }

for release in "${releases[@]}"; do
    step "$release: piuparts in a clean root"
    root=$work/root-$release
    mmdebstrap --variant=apt --include=apt-utils,curl,gpg "$release" "$root" "deb http://deb.debian.org/debian $release main" \
        >"$work/root.log" 2>&1 || fail "mmdebstrap: $(tail -n 20 "$work/root.log")"
    # The static programs embed the release's C library, which their package names.
    glibc=$(chroot "$root" dpkg-query -W -f "\${source:Package} (= \${source:Version})" libc6)
    for deb in "$pool"/halvex-plugins-static_"${versions[$release]}"_*.deb; do
        [ "$(dpkg-deb -f "$deb" Built-Using)" = "$glibc" ] || fail "$deb does not name $glibc"
    done
    debs=("$pool"/halvex-plugins{,-static}_"${versions[$release]}_$arch.deb")
    # piuparts works in a copy of the root; the root's own apt leaves a debconf folder behind.
    for deb in "${debs[@]}"; do
        piuparts --existing-chroot="$root" -d "$release" --no-upgrade-test \
            --ignore=/var/cache/debconf/tmp.ci/ "$deb" >"$work/piuparts.log" 2>&1 ||
            fail "piuparts $deb: $(grep -E 'FAIL|ERROR' "$work/piuparts.log")"
    done

    step "$release: the repository added as the README says refuses tampered copies, installs and swaps; autopkgtest"
    add_repository "$url/other-key" || fail "the README's lines: $(cat "$work/apt.log")"
    ! in_root apt-get update --error-on=any && grep -q -E 'NO_PUBKEY|Missing key' "$work/apt.log" ||
        fail "apt-get update took another key's signature: $(cat "$work/apt.log")"
    ! in_root apt-get install -y halvex-plugins || fail "installed from a copy signed by another key"
    add_repository "$url/tampered" && in_root apt-get update --error-on=any && in_root apt-get clean ||
        fail "the tampered copy: $(cat "$work/apt.log")"
    ! in_root apt-get install -y halvex-plugins && grep -q 'Hash Sum mismatch' "$work/apt.log" ||
        fail "a changed package was not refused: $(cat "$work/apt.log")"
    add_repository "$url/release" && grep -q "$key" "$work/apt.log" && in_root apt-get update --error-on=any ||
        fail "the repository: $(cat "$work/apt.log")"
    for page in "$work/files/${debs[0]##*/}/usr/share/man/man1"/*.gz; do
        mkdir -p "$work/pages" && gzip -dc "$page" >"$work/pages/$(basename "$page" .gz)"
    done
    for package in halvex-plugins halvex-plugins-static halvex-plugins; do
        in_root apt-get install -y "$package" || fail "apt-get install $package: $(cat "$work/apt.log")"
        [ "$(installed "$package")" = "${versions[$release]} " ] || fail "$release installed $(installed "$package")"
        run_examples "$work/pages" "$root"
    done
    quick_start_line
    in_root bash -euc "$(readme_lines 3 "$url/release")" && in_root apt-get update --error-on=any &&
        in_root apt-get install -y halvex-plugins-dbgsym || fail "the debug suite: $(cat "$work/apt.log")"
    autopkgtest -U "$pool/halvex-plugins_${versions[$release]}.dsc" "${debs[@]}" -- chroot "$root" \
        >"$work/autopkgtest.log" 2>&1 || fail "autopkgtest: $(tail -n 30 "$work/autopkgtest.log")"
    [ "$release" != "${releases[-1]}" ] || continue
    step "$release upgraded to ${releases[-1]} as the README says, and the plugins with it"
    sed -i "s/$release/${releases[-1]}/g" "$root/etc/apt/sources.list"
    in_root apt-get install -y halvex-plugins halvex-plugins-dbgsym && in_root bash -euc "$(readme_lines 4 "$url/release")" &&
        in_root apt-get update --error-on=any && in_root apt-get full-upgrade -y -o Dpkg::Options::=--force-confold ||
        fail "the upgrade: $(tail -n 30 "$work/apt.log")"
    [ "$(installed halvex-plugins halvex-plugins-dbgsym)" = "$version $version " ] ||
        fail "the upgrade installed $(installed halvex-plugins halvex-plugins-dbgsym)"
    quick_start_line
done

step "reprotest"
# Every variation but user_group, which needs spare user accounts and sudo. The tests add
# nothing to the packages, so the builds leave them out.
mkdir "$work/reprotest" && tar -C "$work/reprotest" -xzf "$tarball"
(cd "$work/reprotest/halvex-plugins-$version" && DEB_BUILD_OPTIONS=nocheck reprotest --no-diffoscope \
    --min-cpus "$(nproc)" --vary=-user_group . -- null) >"$work/reprotest.log" 2>&1 ||
    fail "reprotest: $(tail -n 30 "$work/reprotest.log")"
! grep -i 'setting locale failed' "$work/reprotest.log" || fail "reprotest's locale did not vary"

step "RPM packages"
rpm_build() {
    rpmbuild --define "_topdir $out/build/rpmbuild" --nodeps --load "$source_dir/tests/rpm_build_root.macros" "$@"
}
rpm=$(echo "$out"/rpm/halvex-plugins-"$version"-*."$(rpm --eval '%{_arch}')".rpm)
# Whole listings, not pipes into grep -q: grep would leave early and fail the writer.
grep -q '/cluster_plugin/main\.cpp$' <<<"$(rpm -qlp "${rpm/plugins-/plugins-debugsource-}")" ||
    fail "the debug sources lack cluster_plugin/main.cpp"
rpm_plugins=$(rpm --eval '%{_libexecdir}')/halvex/plugins
mkdir "$work/rpm-files" && (cd "$work/rpm-files" && rpm2cpio "$rpm" | cpio -id --quiet)
# Neither the build folder nor the one find-debuginfo names instead in the debug information.
no_build_path "$work/rpm-files" "$rpm" "$out/build/rpmbuild" /usr/src/debug/
for program in cluster_plugin timeout_tester; do
    ! grep -q '\.symtab' <<<"$(readelf -S -W "$work/rpm-files$rpm_plugins/$program")" ||
        fail "$program is not stripped"
done
# rpmkeys verifies every signature with the published key, and so does rpmlint's rpm -K.
mkdir "$work/rpmkeys" && echo "%_dbpath $work/rpmkeys" >"$work/rpmkeys/.rpmmacros"
rpmkeys --dbpath "$work/rpmkeys" --import "$out/halvex-archive-keyring.asc" || fail "rpmkeys --import"
checked=$(rpmkeys --dbpath "$work/rpmkeys" -K "$out"/rpm/*.rpm) && ! grep -v ': digests signatures OK$' <<<"$checked" ||
    fail "rpmkeys -K: $checked"
lint=$(HOME=$work/rpmkeys rpmlint -r "$source_dir/packaging/halvex-plugins.rpmlintrc" "$rpm" "$out"/rpm/*.src.rpm 2>&1) || true
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
diff <(rpm -qp --dump "$rpm") <(rpm -qp --dump "$out"/build/rpmbuild/RPMS/*/"${rpm##*/}") ||
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

step "the RPM repository: dnf with halvex.repo"
# halvex.repo, set to REPOSITORY, in an empty installroot with a fresh cache.
dnf_list() { # REPOSITORY
    local dnf=$work/dnf-${1##*/}
    mkdir -p "$dnf/repos" && sed "s|https://example.org/halvex|$1|" "$out/halvex.repo" >"$dnf/repos/halvex.repo"
    dnf -y --installroot "$dnf/root" --releasever 41 --setopt "reposdir=$dnf/repos" --setopt "cachedir=$dnf/cache" \
        list --available halvex-plugins >"$work/dnf.log" 2>&1
}
dnf_list "$url/release" && grep -q "^halvex-plugins\.$(rpm --eval '%{_arch}') " "$work/dnf.log" ||
    fail "dnf: $(cat "$work/dnf.log")"
! dnf_list "$url/other-key" && grep -q 'repomd.xml GPG signature verification error' "$work/dnf.log" ||
    fail "dnf took metadata signed by another key: $(cat "$work/dnf.log")"

printf 'built: %s\n' "${summary[@]}"
[ -z "$not_built" ] || echo "$not_built"
echo "package checks passed in $SECONDS s"
