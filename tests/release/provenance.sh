#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The build records and bills of materials of the release served; packaging/verify rebuilds it,
# and finds out a doctored copy that a build machine taken over could have released.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# Every .deb served is named, with its checksum, in a build record served and signed.
check_build_records() {
    local info
    for info in "$served"/release/debian/pool/main/h/*/*.buildinfo; do
        verify "$info.asc" "$info"
        sed -n '/^Checksums-Sha256:/,/^[^ ]/ s/^ \([0-9a-f]\{64\}\) [0-9]* \(.*\.deb\)$/\1  \2/p' \
            "$info"
    done | LC_ALL=C sort >"$work/recorded"
    [ -z "$(comm -23 <(find "$served/release/debian/pool" -name '*.deb' -exec sha256sum {} + |
        sed -E 's|  (.*/)?|  |' | LC_ALL=C sort) "$work/recorded")" ] ||
        fail "a .deb served is in no signed build record"
}

# The bills of materials: signed, valid by CycloneDX's schema, with the fields PACKAGING.md
# lists, one component for each package served, with its hash.
check_boms() {
    local boms bom
    (cd "$work" && npm pack --silent @cyclonedx/cyclonedx-library@10.3.0 >npm.log 2>&1 &&
        tar -xzf cyclonedx-cyclonedx-library-10.3.0.tgz package/res/schema) ||
        fail "npm pack: $(cat "$work/npm.log")"
    mapfile -t boms < <(find "$served/release" -name '*.cdx.json')
    for bom in "${boms[@]}"; do verify "$bom.asc" "$bom"; done
    /usr/bin/python3 "$(dirname "$0")/bom_fields.py" "$work/package/res/schema" "$given" \
        "$served/release" "${boms[@]}" >"$work/components" ||
        fail "the bills of materials: $(cat "$work/components")"
    [ "$(sort "$work/components")" = "$(cd "$served/release" && find . -name "$package*.deb" \
        -printf '%P\n' -o -name "$package*.rpm" ! -name '*.src.rpm' -printf '%P\n' | sort)" ] ||
        fail "the bills of materials name other packages than are served"
}

# A package of its own for the hostile copy, as a file that packaging/release takes for one
# of the build's, with a maintainer script SCRIPT and a key file KEYS where given.
hostile_package() { # FILE NAME VERSION [SCRIPT [KEYS]]
    local dir=$work/hostile-package
    rm -rf "$dir"
    mkdir -p "$dir/DEBIAN" "$dir/usr/share/keyrings"
    printf '%s\n' "Package: $2" "Version: $3" "Architecture: all" "Maintainer: M <m@example.org>" \
        "Description: not a package of the project" >"$dir/DEBIAN/control"
    if [ -n "${4-}" ]; then printf '#!/bin/sh\n%s\n' "$4" >"$dir/DEBIAN/postinst"; fi
    chmod 755 "$dir/DEBIAN"/*
    if [ -n "${5-}" ]; then cp "$5" "$dir/usr/share/keyrings/$keyring.gpg"; fi
    dpkg-deb -b "$dir" "$1" >/dev/null
}

# The newest release's source, whose build plants PLANTED under the name of the native package
# in every folder it can write but its own, and whose .dsc alone names halvex-build-helper.
hostile_source() { # FOLDER PLANTED
    local dsc=$1/${package}_$version.dsc tree=$work/hostile-source/$package-$version
    rm -rf "$work/hostile-source"
    mkdir "$work/hostile-source"
    dpkg-source --no-check -x "$dsc" "$tree" >/dev/null
    cp "$2" "$tree/debian/planted.deb"
    printf '%s\n' '' 'execute_before_dh_auto_configure:' \
        "	find / -xdev -type d -writable ! -path '/build*' 2>/dev/null | while read -r d; do \\" \
        "	    cp debian/planted.deb \"\$\$d/${package}_${version}_$arch.deb\" || :; done" \
        >>"$tree/debian/rules"
    rm "$1/${package}_$version".{dsc,tar.xz}
    (cd "$1" && dpkg-source -b "$tree" >/dev/null)
    sed -i 's/^\(Build-Depends: .*\)$/\1, halvex-build-helper/' "$dsc"
}

# A copy that a build machine taken over could have released: the newest release's native
# package has another program, and its build record names cmake 0.1-1; its source plants that
# package and names a build dependency that only the copy serves; and the copy also serves a
# cmake above the mirror's whose maintainer script calls the check's server, that build
# dependency, and a keyring package above the release's that holds B alone.
hostile_release() {
    local doctored=${package}_${version}_$arch.deb dir=$work/doctored/$newest
    cp -r "$builddir" "$work/doctored"
    rm -rf "$work/deb"
    dpkg-deb -R "$dir/$doctored" "$work/deb"
    sed -i 's/critical/CRITICAL/g' "$work/deb$plugins/cluster_plugin"
    dpkg-deb -b "$work/deb" "$dir/$doctored" >/dev/null
    sed -i 's/^ cmake (= [^)]*)/ cmake (= 0.1-1)/' "$dir/${doctored%.deb}.buildinfo"
    hostile_source "$dir" "$dir/$doctored"
    hostile_package "$dir/${package}_97.0-1_all.deb" halvex-build-helper 1.0
    hostile_package "$dir/${package}_98.0-1_all.deb" cmake 99.0-1 \
        "/usr/lib/apt/apt-helper download-file $url/called-home /tmp/called-home || :"
    gpg --batch --export "$B" >"$work/b.gpg"
    hostile_package "$dir/${package}_99.0-1_all.deb" "$keyring" 99 '' "$work/b.gpg"
    recorded "$work/doctored"
    ! cmp -s "$builddir/$newest/$doctored" "$dir/$doctored" || fail "no doctored copy"
    release_published "$work/doctored-repo" "$served/doctored" "$releaser" --key "$A" \
        --url "$url/doctored" "$work/doctored" "$work/doctored-repo"
}

# packaging/verify, with the key that signs the release, rebuilds it as it is served for this
# architecture and arm64.
verify_release() {
    local commit
    commit=$(git get-tar-commit-id < <(gzip -dc "$tarball"))
    logged "$work/verify.log" "packaging/verify $url/release" "$source_dir/packaging/verify" \
        --commit "$commit" --arch arm64 --key "$(fingerprints "$out/$keyring.gpg" | head -n 1)" \
        "$url/release"
}

# packaging/verify fails on the hostile copy and names what is wrong with it, but still rebuilds
# and judges the project's packages: the doctored one alone is different, the planted copy
# notwithstanding. No maintainer script of the copy ran.
hostile_found() {
    local doctored=${package}_${version}_$arch.deb log=$work/doctored.log line
    ! "$source_dir/packaging/verify" --key "$A" "$url/doctored" >"$log" 2>&1 ||
        fail "packaging/verify took a hostile copy: $(tail -n 20 "$log")"
    ! grep called-home "$served/../server.log" ||
        fail "a maintainer script of the hostile copy ran, and called the check's server"
    [ "$(grep '^DIFFERENT' "$log")" = "DIFFERENT: $newest $doctored" ] ||
        fail "packaging/verify on a hostile copy: $(grep '^DIFFERENT' "$log" || echo no DIFFERENT)"
    for line in "identical: $newest ${package}-static_${version}_$arch.deb" \
        "not ours: $newest ${package}_98.0-1_all.deb" \
        "not ours: $newest ${package}_97.0-1_all.deb" \
        "$newest $arch: the mirror cannot satisfy the build dependency \"halvex-build-helper\"" \
        "$newest: the keyring package does not hold $A"; do
        grep -q -x -F "$line" "$log" || fail "packaging/verify did not say '$line'"
    done
    grep -q "^$newest $arch: the build had cmake 0.1-1, the mirror now serves .*: the comparison" \
        "$log" || fail "packaging/verify named no drift"
}

# On the release, every binary package the indices list has its line, and none is left out.
all_accounted() {
    local listed
    listed=$(cat "$served"/release/debian/dists/*/main/binary-*/Packages |
        sed -n 's|^Filename: .*/||p' | sort -u | wc -l)
    [ "$(grep -c -E '^(identical|not rebuilt): ' "$work/verify.log")" -ge "$listed" ] ||
        fail "packaging/verify left packages out: $(cat "$work/verify.log")"
    ! grep -q -E '^(DIFFERENT|not ours)' "$work/verify.log" ||
        fail "packaging/verify on the release: $(cat "$work/verify.log")"
}

step "the build records and bills of materials of the release; packaging/verify rebuilds it," \
    "and finds a doctored copy out"
check_build_records
gpg --batch --import "$out/$keyring.gpg" 2>/dev/null
spawn verify_release
hostile_release
spawn hostile_found
check_boms
wait_jobs
all_accounted
echo "passed"
