#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The second stage of a release: checks what packaging/build wrote in BUILDDIR, and changes none
# of it (PACKAGING.md says what it checks). When all passes, it records the manifest it checked.
# shellcheck source=../packaging/common.sh
. "$(dirname "$0")/../packaging/common.sh"
stage_setup check_build BUILDDIR "$@"
# reprotest varies the locale to et_EE.UTF-8, which would otherwise silently fall back to C.
grep -q -x 'et_EE.utf8' <<<"$(locale -a)" ||
    refuse "tests/check_build.sh needs the locale et_EE.UTF-8"
read_build "$1" && rm -f "$builddir/checked"
mirror=$(mirror) arch=$(dpkg --print-architecture)
commit=$(git get-tar-commit-id < <(gzip -dc "$tarball")) || fail "$tarball names no commit"
mkdir "$work/src" && tar -C "$work/src" -xzf "$tarball" && src=$work/src/$package-$version

step "the version and day of $commit, each release's source package and version"
day=$(sed -n 's/^set(HALVEX_RELEASE_DATE \(.*\))$/\1/p' "$src/CMakeLists.txt")
changelog() { dpkg-parsechangelog -l "$src/debian/changelog" -S "$1"; }
rpm_file=$src/packaging/$package.spec
rpm_entry=$(sed -n '/^%changelog/,$ { /^\* /{ p; q } }' "$rpm_file")
grep -q "^ *VERSION $version$" "$src/CMakeLists.txt" ||
    fail "CMakeLists.txt names another version than $version"
[ "$(changelog Version) $(date -u -d "$(changelog Date)" +%F)" = "$version $day" ] ||
    fail "debian/changelog: $(changelog Date)"
grep -q "^Version: *$version$" "$rpm_file" || fail "the RPM build file names another version"
rpm_day=$(date -u -d "$(cut -d' ' -f2-5 <<<"$rpm_entry")" +%F)
[[ $rpm_entry == *" - $version-"* && $rpm_day == "$day" ]] ||
    fail "the RPM changelog begins: $rpm_entry"
[ "$(git -C "$source_dir" ls-tree -r --name-only "$commit" | LC_ALL=C sort)" = \
    "$(cd "$src" && find . ! -type d -printf '%P\n' | LC_ALL=C sort)" ] ||
    fail "$tarball holds other files than $commit"
# Each source package holds the tarball's files; a backport's changelog adds one entry of six
# lines. Each release's version sorts below the next release's, and the newest's, the version
# itself, below the next version.
declare -A versions && previous=
for release in "${releases[@]}"; do
    dsc=$(compgen -G "$builddir/$release/*.dsc") || fail "no source package for $release"
    versions[$release]=$(sed -n 's/^Version: //p' "$dsc")
    [ -z "$previous" ] || dpkg --compare-versions "$previous" lt "${versions[$release]}" ||
        fail "$release: $previous is newer"
    previous=${versions[$release]}
    logged "$work/source.log" "dpkg-source -x $dsc" \
        dpkg-source --no-check -x "$dsc" "$work/source-$release"
    same_source "$src" "$work/source-$release" "$release" ||
        fail "the $release source package holds other files than $commit"
done
[ "$previous" = "$version" ] || fail "$newest builds $previous"
dpkg --compare-versions "$version" lt "$(awk -F. -v OFS=. '{ $NF += 1; print }' <<<"$version")" ||
    fail "$version sorts above the next version"

step "file names, build paths, Built-Using and branch protection"
duplicates=$(find "$builddir" -type f -regex '.*\.\(deb\|dsc\|rpm\|tar\..*\)' -printf '%f\n' |
    sort | uniq -d)
[ -z "$duplicates" ] || fail "one name for two files: $duplicates"
summary=() && mkdir "$work/files"
no_build_path() { # FOLDER PACKAGE BUILD_PATH...
    local paths=("${@:3}")
    ! grep -r -l -F "${paths[@]/#/-e}" "$1" || fail "a build path is packaged in $2"
}
for release in "${releases[@]}"; do
    built=() && static=()
    for deb in "$builddir/$release/$package"{,-static}_"${versions[$release]}"_*.deb; do
        name=${deb##*/} && dpkg-deb -x "$deb" "$work/files/$name"
        no_build_path "$work/files/$name" "$deb" "/build/$package-"
        target=${name##*_} && target=${target%.deb}
        if [[ $name == "$package"-static_* ]]; then static+=("$target"); else built+=("$target"); fi
    done
    not_built=$(sed -n "s/^$release \([^:]*\):.*/\1/p" "$builddir/not-built" | paste -s -d' ')
    summary+=("$release: ${built[*]}; static: ${static[*]}${not_built:+; not built: $not_built}")
    # The newest release's start files carry branch protection, and so must the programs.
    [ "$release" = "$newest" ] || continue
    [ -d "$work/files/${package}_${version}_arm64.deb" ] || continue
    for program in "$work/files/$package"{,-static}"_${version}_arm64.deb$plugins"/*; do
        grep -q 'AArch64 feature: BTI, PAC$' <<<"$(LC_ALL=C readelf -n "$program")" ||
            fail "$program lacks branch protection"
    done
done

# Every example of the manual pages installed in ROOT, run as written there: the first line
# it prints and the exit status it states ("exits N"; none means 0).
run_examples() { # ROOT
    local pages=$work/pages-${1##*/} examples command shown status rc first page
    rm -rf "$pages"
    mkdir "$pages"
    for page in "$1/usr/share/man/man1"/{cluster_plugin,timeout_tester}.1.gz; do
        gzip -dc "$page" >"$pages/$(basename "$page" .gz)"
        page=$pages/$(basename "$page" .gz)
        warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff fails on $page: $warnings"
        [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
        mandoc -T lint -W warning "$page" || fail "mandoc warns about $page"
        grep -q "^\\.I $plugins/" "$page" || fail "$page does not name $plugins"
    done
    examples=$(awk '
        /^\.SH/ { in_examples = ($2 == "EXAMPLES") }
        in_examples && /^\.TP/ { if (command != "") print command "\t" shown "\t" status
                                 command = ""; shown = ""; status = 0; want = "command"; next }
        in_examples && want == "command" && /^\.B / {
            command = substr($0, 4); want = "prints"; next
        }
        in_examples && want == "prints" && /^prints$/ { want = "shown"; next }
        in_examples && want == "shown" && /^\.B / { shown = substr($0, 4); want = ""; next }
        in_examples && match($0, /exits [0-9]+/) { status = substr($0, RSTART + 6, RLENGTH - 6) }
        END { if (command != "") print command "\t" shown "\t" status }
    ' "$pages"/*.1 | sed 's/\\-/-/g')
    [ "$(wc -l <<<"$examples")" -ge 8 ] || fail "too few manual page examples: $examples"
    while IFS=$'\t' read -r command shown status; do
        [[ $command == *"$plugins/"* ]] || fail "example without the full path: $command"
        rc=0 && first=$(chroot "$1" bash -c "$command" | head -n 1) || rc=$?
        if [ "$first" != "$shown" ] || [ "$rc" != "$status" ]; then
            fail "example '$command' printed '$first' and exited $rc"
        fi
    done <<<"$examples"
}

# In a clean root of RELEASE, its glibc in Built-Using; piuparts; each package installed in
# turn, the static one replacing the other and back, with its pages' examples; autopkgtest.
check_in_root() { # RELEASE
    local release=$1 root=$work/root-$1 log=$work/$1.log glibc deb debs
    step "$release: piuparts, the manual pages' examples and autopkgtest in a clean root"
    logged "$log" mmdebstrap mmdebstrap --variant=apt --include=apt-utils "$release" "$root" \
        "deb $mirror $release main"
    # The static programs embed the release's C library, which their package names.
    glibc=$(chroot "$root" dpkg-query -W -f "\${source:Package} (= \${source:Version})" libc6)
    for deb in "$builddir/$release/$package-static_${versions[$release]}"_*.deb; do
        [ "$(dpkg-deb -f "$deb" Built-Using)" = "$glibc" ] || fail "$deb does not name $glibc"
    done
    debs=("$builddir/$release/$package"{,-static}_"${versions[$release]}_$arch.deb")
    # piuparts works in a copy of the root; the root's own apt leaves a debconf folder behind.
    for deb in "${debs[@]}"; do
        piuparts --existing-chroot="$root" -d "$release" --no-upgrade-test \
            --ignore=/var/cache/debconf/tmp.ci/ "$deb" >"$log" 2>&1 ||
            fail "piuparts $deb: $(grep -E 'FAIL|ERROR' "$log")"
    done
    cp "${debs[@]}" "$root/tmp/"
    for deb in "${debs[@]}" "${debs[0]}"; do
        logged "$log" "installing $deb" chroot "$root" env -i PATH=/usr/sbin:/usr/bin \
            DEBIAN_FRONTEND=noninteractive apt-get install -y "/tmp/${deb##*/}"
        run_examples "$root"
    done
    logged "$log" autopkgtest autopkgtest -U \
        "$builddir/$release/${package}_${versions[$release]}.dsc" "${debs[@]}" -- chroot "$root"
}

# Every variation but user_group, which needs spare user accounts and sudo. The tests add
# nothing to the packages, so the builds leave them out.
check_reproducible() {
    step "reprotest"
    mkdir "$work/reprotest"
    tar -C "$work/reprotest" -xzf "$tarball"
    (cd "$work/reprotest/$package-$version" && export DEB_BUILD_OPTIONS=nocheck &&
        logged "$work/reprotest.log" reprotest \
            reprotest --no-diffoscope --min-cpus "$(nproc)" --vary=-user_group . -- null)
    ! grep -i 'setting locale failed' "$work/reprotest.log" ||
        fail "reprotest's locale did not vary"
}

check_rpm() {
    step "RPM packages: files, rebuild, a build without GoogleTest, install and removal"
    local rpm rpm_plugins program files requires rpm_root left
    rpm=$(echo "$builddir/rpm/$package-$version"-*."$(rpm --eval '%{_arch}')".rpm)
    # Whole listings, not pipes into grep -q: grep would leave early and fail the writer.
    grep -q '/cluster_plugin/main\.cpp$' <<<"$(rpm -qlp "${rpm/plugins-/plugins-debugsource-}")" ||
        fail "the debug sources lack cluster_plugin/main.cpp"
    rpm_plugins=$(rpm --eval '%{_libexecdir}')${plugins#/usr/libexec}
    mkdir "$work/rpm-files" && (cd "$work/rpm-files" && rpm2cpio "$rpm" | cpio -id --quiet)
    # Neither the build folder nor the one find-debuginfo names instead in the debug information.
    no_build_path "$work/rpm-files" "$rpm" "$rpm_topdir" /usr/src/debug/
    for program in cluster_plugin timeout_tester; do
        ! grep -q '\.symtab' <<<"$(readelf -S -W "$work/rpm-files$rpm_plugins/$program")" ||
            fail "$program is not stripped"
    done
    files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm" | sed -n 's/^-[^ ]* //p')
    [ "$(paste -s -d' ' <<<"$files")" = "$rpm_plugins/cluster_plugin $rpm_plugins/timeout_tester \
/usr/share/doc/$package/README.md /usr/share/licenses/$package/COPYING \
/usr/share/man/man1/cluster_plugin.1.gz /usr/share/man/man1/timeout_tester.1.gz" ] ||
        fail "the RPM package holds: $files"
    requires=$(rpm -qp --requires "$rpm" | sed '/^rpmlib(/d' | sort | paste -s -d' ')
    [[ $requires =~ ^(libc\.so\.6(\([A-Z0-9_.]*\))?\(64bit\) )+rtld\(GNU_HASH\)$ ]] ||
        fail "the RPM requires $requires"
    # The README promises the RPM to hosts with glibc 2.34 or later.
    [ "$(grep -o 'GLIBC_[0-9.]*' <<<"$requires" | sort -V | tail -n 1)" = GLIBC_2.34 ] ||
        fail "the RPM requires $requires"
    # Rebuilt in the same build root, the source package gives a package of its name with the
    # same files.
    rm -rf "$rpm_topdir"
    logged "$work/rpm.log" "rpmbuild --rebuild" rpm_build --rebuild "$builddir"/rpm/*.src.rpm
    diff <(rpm -qp --dump "$rpm") <(rpm -qp --dump "$rpm_topdir"/RPMS/*/"${rpm##*/}") ||
        fail "the rebuilt source package installs other files"
    # Without GoogleTest, %check fails.
    ! rpm_build -ta --define 'halvex_cmake_options -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON' \
        "$tarball" >"$work/rpm.log" 2>&1 || fail "%check passed without GoogleTest"
    grep -q 'install_libgtest_dev_to_build_the_tests.*Failed' "$work/rpm.log" ||
        fail "the build without GoogleTest failed elsewhere: $(tail -n 30 "$work/rpm.log")"
    # Installed into an empty root, it runs; removed, it leaves none of its files and no file at
    # all outside rpm's database (rpm keeps the parent folders it made).
    rpm_root=$work/rpm-root
    in_rpm_root() {
        logged "$work/rpm.log" "rpm $*" rpm --root "$rpm_root" --dbpath /var/lib/rpm "$@"
    }
    in_rpm_root --initdb
    in_rpm_root -i --nodeps "$rpm"
    line=$("$rpm_root$rpm_plugins/cluster_plugin" -h -d 0,1) &&
        fail "the installed RPM's cluster_plugin exited 0"
    [ "$line" = "Host cluster problem: 1 up, 1 down, 0 unreachable" ] ||
        fail "the installed RPM's cluster_plugin printed: $line"
    in_rpm_root -e "$package"
    left=$(rpm -qlp "$rpm" | while read -r path; do [ ! -e "$rpm_root$path" ] || echo "$path"; done
        find "$rpm_root" -path "$rpm_root/var/lib/rpm" -prune -o ! -type d -print)
    [ -z "$left" ] || fail "rpm -e leaves behind: $left"
}

# The roots wait on the mirror and dpkg, reprotest and the RPM on both processors.
at_exit="rm -rf $rpm_topdir"
for release in "${releases[@]}"; do spawn check_in_root "$release"; done
spawn eval 'check_reproducible && check_rpm'
wait_jobs
printf 'built: %s\n' "${summary[@]}"
sed 's/^/not built: /' "$builddir/not-built"
(cd "$builddir" && sha256sum SHA256SUMS >checked)
echo "build checks passed in $SECONDS s; recorded in $builddir/checked"
