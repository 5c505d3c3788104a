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

# A copy in which the native package of the newest release has another program, released and
# signed as a build machine that was taken over would; its build record names cmake 0.1-1.
doctored_release() {
    local doctored=${package}_${version}_$arch.deb
    cp -r "$builddir" "$work/doctored"
    rm -rf "$work/deb"
    dpkg-deb -R "$work/doctored/$newest/$doctored" "$work/deb"
    sed -i 's/critical/CRITICAL/g' "$work/deb$plugins/cluster_plugin"
    dpkg-deb -b "$work/deb" "$work/doctored/$newest/$doctored" >/dev/null
    sed -i 's/^ cmake (= [^)]*)/ cmake (= 0.1-1)/' \
        "$work/doctored/$newest/${doctored%.deb}.buildinfo"
    recorded "$work/doctored"
    ! cmp -s "$builddir/$newest/$doctored" "$work/doctored/$newest/$doctored" ||
        fail "no doctored copy"
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

# packaging/verify fails on the doctored copy, naming its package alone as different, and names
# cmake as drifted.
doctored_found() {
    local doctored=${package}_${version}_$arch.deb log=$work/doctored.log
    ! "$source_dir/packaging/verify" --key "$A" "$url/doctored" >"$log" 2>&1 ||
        fail "packaging/verify took a doctored copy: $(cat "$log")"
    [ "$(grep '^DIFFERENT' "$log")" = "DIFFERENT: $newest $doctored" ] ||
        fail "packaging/verify on a doctored copy: $(cat "$log")"
    grep -q "^$newest $arch: the build had cmake 0.1-1, the mirror now serves .*: the comparison" \
        "$log" || fail "packaging/verify named no drift: $(cat "$log")"
}

step "the build records and bills of materials of the release; packaging/verify rebuilds it," \
    "and finds a doctored copy out"
check_build_records
gpg --batch --import "$out/$keyring.gpg" 2>/dev/null
spawn verify_release
doctored_release
spawn doctored_found
check_boms
wait_jobs
echo "passed"
