#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The fourth stage of a release: checks what packaging/release made in REPODIR from BUILDDIR,
# as administrators use it, and how a repository lives through its year. It checks the release
# itself, serves it on 127.0.0.1, and then runs the scenarios of tests/release/, each a script
# of its own, side by side (PACKAGING.md says what each checks). They read what it exports:
#   builddir version tarball  BUILDDIR, as read_build reads it
#   out repodir               REPODIR/public, as the release made it, and REPODIR
#   given                     the address the release names
#   url served                the HTTP server's address, and the folder it serves
#   checks                    the folder of the scenarios' folders and the clean roots
#   check_gnupg A B           the check's GnuPG home, and its keys A and B
#   mirror arch               Debian's mirror, and this machine's architecture
# shellcheck source=../packaging/common.sh
. "$(dirname "$0")/../packaging/common.sh"
stage_setup check_release "BUILDDIR REPODIR [SCENARIO...]" "$@"

# The check's keys live apart from its folder, which must hold no secret key. A and B sign the
# check's releases; they were made 50 days ago, for releases made in the past.
make_keys() { # GNUPGHOME
    local name
    for name in a b; do
        GNUPGHOME=$1 faketime -f -50d gpg --batch --passphrase '' \
            --quick-gen-key "Halvex $name check <$name@example.org>" rsa3072 sign 2y 2>/dev/null
    done
    GNUPGHOME=$1 gpgconf --kill gpg-agent
}
key_of() { # GNUPGHOME NAME
    GNUPGHOME=$1 gpg --batch --with-colons --list-keys "<$2@example.org>" 2>/dev/null |
        awk -F: '/^fpr:/ { print $10; exit }'
}

# No secret key in the release, the build or this check's folder; the signatures; the checked
# files, byte for byte; one address.
check_release_itself() {
    local file suite
    step "no secret key in the release, the build or this check's folder; the signatures;" \
        "the checked files; the address"
    while IFS= read -r -d '' file; do
        if gpg --batch --list-packets "$file" 2>/dev/null | grep -q '^:secret'; then
            fail "$file holds a secret key"
        fi
    done < <(find -L "$repodir/public/" "$repodir/state/" "$builddir" "$work" -type f \
        -print0)
    checked_signature "$out/${tarball##*/}.asc" "$out/${tarball##*/}"
    checked_signature "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
    for suite in "$out"/debian/dists/*; do
        checked_signature "$suite/InRelease"
        checked_signature "$suite/Release.gpg" "$suite/Release"
    done
    # Every .deb, source file, record and tarball that was checked is published, unchanged; the
    # signed RPMs keep the digests of the header and the payload that were checked.
    [ -z "$(comm -23 <(grep -E '\.(deb|dsc|buildinfo|linked|tar\.[a-z]+)$' \
        "$builddir/SHA256SUMS" | by_name) <(find "$out/debian/pool" "$out/${tarball##*/}" \
        -type f -exec sha256sum {} + | by_name))" ] ||
        fail "the release publishes other files than were checked"
    [ -z "$(comm -23 <(rpm_digests "$builddir"/rpm/*.rpm) <(rpm_digests "$out"/rpm/*.rpm))" ] ||
        fail "the signed RPMs are other packages than were checked"
    grep -q -x "baseurl=$given/rpm" "$out/halvex.repo" ||
        fail "halvex.repo names another address than halvex.sources"
    [[ $given == http* ]] || fail "halvex.sources names no address"
}
checked_signature() {
    gpgv --keyring "$out/$keyring.gpg" "$@" 2>"$work/gpgv.log" ||
        fail "gpgv $*: $(cat "$work/gpgv.log")"
}
by_name() { sed -E 's|  (.*/)?|  |' | LC_ALL=C sort; }

# The HTTP server serves $served until the check ends, which stops it.
start_server() {
    served=$work/served
    mkdir "$served"
    spawn python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$served" \
        >"$work/server.log" 2>&1
    spawned=()
    url=
    for _ in $(seq 100); do
        url=$(grep -o -m 1 'http://127\.0\.0\.1:[0-9]*' "$work/server.log") && break
        sleep 0.1
    done
    [ -n "$url" ] || fail "the HTTP server did not start: $(cat "$work/server.log")"
}

# The release published on 127.0.0.1 in place of its address, with a copy signed by another key
# and one with a changed package.
serve_release() {
    local copy suite deb at byte
    step "the release published on 127.0.0.1 in place of its address, with a copy signed by" \
        "another key and one with a changed package"
    "$source_dir/packaging/publish" "$repodir" "$served/release" >"$work/publish.log" 2>&1 ||
        fail "packaging/publish: $(cat "$work/publish.log")"
    cp -r "$served/release" "$served/other-key"
    cp -r "$served/release" "$served/tampered"
    for copy in release other-key tampered; do
        sed -i "s|$given|$url/$copy|" "$served/$copy"/halvex.{sources,repo}
    done
    for suite in "$served"/other-key/debian/dists/*; do
        resign --clearsign -o "$suite/InRelease" "$suite/Release"
        resign --detach-sign -o "$suite/Release.gpg" "$suite/Release"
    done
    resign --armor --detach-sign "$served/other-key/rpm/repodata/repomd.xml"
    for deb in "$served/tampered/debian/pool/main/h/$package/${package}"_*_"$arch".deb; do
        at=$(($(stat -c %s "$deb") / 2))
        byte=$(od -A n -t u1 -j "$at" -N 1 "$deb")
        printf '%b' "\\$(printf %03o $((byte ^ 1)))" |
            dd of="$deb" bs=1 seek="$at" conv=notrunc status=none
    done
}
resign() { gpg --batch --yes --local-user "$B" "$@"; }

# A clean root of each release, which the scenarios copy.
make_clean_roots() {
    local release
    for release in "${releases[@]}"; do
        spawn logged "$checks/clean-$release.log" mmdebstrap mmdebstrap --variant=apt \
            --include=curl,gpg --aptopt='APT::Get::Assume-Yes "true"' "$release" \
            "$checks/clean-$release" "deb $mirror $release main"
    done
    wait_jobs
}

# The scenarios NAMES (all of tests/release/ when none is named), side by side, each with its
# log; once all have ended, the check fails if one did, with the end of its log.
run_scenarios() { # NAME...
    local names=("$@") name failed=()
    [ ${#names[@]} != 0 ] || mapfile -t names < <(find "$source_dir/tests/release" -name '*.sh' \
        ! -name helpers.sh -printf '%f\n' | sed 's/\.sh$//' | LC_ALL=C sort)
    for name in "${names[@]}"; do
        step "scenario $name: started"
        spawn bash "$source_dir/tests/release/$name.sh" >"$work/$name.log" 2>&1
    done
    for name in "${names[@]}"; do
        wait "${spawned[0]}" || failed+=("$name")
        spawned=("${spawned[@]:1}")
        step "scenario $name: $(tail -n 1 "$work/$name.log")"
    done
    for name in "${failed[@]}"; do
        echo "== scenario $name failed:" >&2
        tail -n 40 "$work/$name.log" >&2
    done
    [ ${#failed[@]} = 0 ] || fail "${#failed[@]} of the scenarios failed: ${failed[*]}"
}

main() {
    [ $# -ge 2 ] || refuse "usage: $0 BUILDDIR REPODIR [SCENARIO...]"
    read_build "$1"
    out=$(cd "$2/public" && pwd -P) repodir=$(cd "$2" && pwd)
    mirror=$(mirror) arch=$(dpkg --print-architecture)
    check_gnupg=$(mktemp -d) checks=$work/checks
    mkdir "$checks"
    at_exit="GNUPGHOME=$check_gnupg gpgconf --kill all; rm -rf $check_gnupg"
    make_keys "$check_gnupg"
    export GNUPGHOME=$check_gnupg
    A=$(key_of "$check_gnupg" a) B=$(key_of "$check_gnupg" b)
    given=$(sed -n 's|^URIs: \(.*\)/debian$|\1|p' "$out/halvex.sources")
    check_release_itself
    start_server
    serve_release
    make_clean_roots
    export builddir version tarball out repodir given url served checks check_gnupg A B mirror arch
    run_scenarios "${@:3}"
    echo "release checks passed in $SECONDS s"
}

main "$@"
