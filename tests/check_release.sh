#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck disable=SC2015 # fail exits: "A && B || fail" fails unless both hold
# The fourth stage of a release: checks what packaging/release made in REPODIR from BUILDDIR,
# as administrators use it (PACKAGING.md says what it checks).
# shellcheck source=../packaging/common.sh
. "$(dirname "$0")/../packaging/common.sh" check_release "BUILDDIR REPODIR" "$@"
read_build "$1" && out=$(cd "$2" && pwd)
mirror=$(mirror) arch=$(dpkg --print-architecture)
# The check's own key lives apart from its folder, which must hold no secret key.
keys=$(mktemp -d) && export GNUPGHOME=$keys
at_exit="gpgconf --kill all; rm -rf $keys"
gpg --batch --passphrase '' --quick-gen-key "Halvex other check <other@example.org>" ed25519 sign 1d 2>/dev/null
fingerprint() { gpg --batch --with-colons "$@" 2>/dev/null | awk -F: '/^fpr:/ { print $10; exit }'; }
other=$(fingerprint --list-keys) key=$(fingerprint --show-keys "$out/halvex-archive-keyring.gpg")

step "packaging/release refuses a key that cannot sign, a folder that is not empty, and a build not checked or changed since"
mkdir "$work/full" && touch "$work/full/file"
# MESSAGE | KEY | REPODIR | what changes in a copy of BUILDDIR
while IFS='|' read -r message signer repo change; do
    rm -rf "$work/copy" && cp -r "$builddir" "$work/copy" && (cd "$work/copy" && eval "$change")
    ! "$source_dir/packaging/release" --key "$signer" "$work/copy" "$work/$repo" 2>"$work/refusal" &&
        grep -q -F "$message" "$work/refusal" && [ ! -e "$work/refused" ] && [ "$(ls -A "$work/full")" = file ] ||
        fail "packaging/release --key $signer, $repo, $change: $(cat "$work/refusal")"
done <<EOF
cannot sign|${other//?/0}|refused|:
not an empty folder|$other|full|:
was not checked|$other|refused|rm checked
has changed since|$other|refused|echo >>not-built
has changed since|$other|refused|rm rpm/*.src.rpm
has changed since|$other|refused|touch $newest/extra.deb
has changed since|$other|refused|sed -i 1d SHA256SUMS
EOF
rm -r "$work/copy"

step "no secret key in the release, the build or this check's folder; the signatures; the checked files"
while IFS= read -r -d '' file; do
    ! gpg --batch --list-packets "$file" 2>/dev/null | grep -q '^:secret' || fail "$file holds a secret key"
done < <(find "$out" "$builddir" "$work" -type f -print0)
verify() { gpgv --keyring "$out/halvex-archive-keyring.gpg" "$@" 2>"$work/gpgv.log" || fail "gpgv $*: $(cat "$work/gpgv.log")"; }
verify "$out/${tarball##*/}.asc" "$out/${tarball##*/}"
verify "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
for suite in "$out"/debian/dists/*; do verify "$suite/InRelease" && verify "$suite/Release.gpg" "$suite/Release"; done
# Every .deb, source file and tarball that was checked is published, unchanged; the signed RPMs
# keep the digests of the header and the payload that were checked.
by_name() { sed -E 's|  (.*/)?|  |' | LC_ALL=C sort; }
[ "$(grep -E '\.(deb|dsc|tar\.[a-z]+)$' "$builddir/SHA256SUMS" | by_name)" = \
    "$(find "$out/debian/pool" "$out/${tarball##*/}" -type f -exec sha256sum {} + | by_name)" ] ||
    fail "the release publishes other files than were checked"
digests() { rpm -qp --nosignature --qf '%{NVRA} %{SHA256HEADER} %{PAYLOADDIGEST}\n' "$1"/*.rpm | sort; }
[ "$(digests "$builddir/rpm")" = "$(digests "$out/rpm")" ] || fail "the signed RPMs are other packages than were checked"

step "the release served on 127.0.0.1, with a copy signed by another key and one with a changed package"
served=$work/served && mkdir "$served" && ln -s "$out" "$served/release"
cp -r "$out" "$served/other-key" && cp -r "$out" "$served/tampered"
resign() { gpg --batch --yes --local-user "$other" "$@"; }
for suite in "$served"/other-key/debian/dists/*; do
    resign --clearsign -o "$suite/InRelease" "$suite/Release" && resign --detach-sign -o "$suite/Release.gpg" "$suite/Release"
done
resign --armor --detach-sign "$served/other-key/rpm/repodata/repomd.xml"
for deb in "$served/tampered/debian/pool/main/h/$package/${package}"_*_"$arch".deb; do
    at=$(($(stat -c %s "$deb") / 2)) && byte=$(od -A n -t u1 -j "$at" -N 1 "$deb")
    printf '%b' "\\$(printf %03o $((byte ^ 1)))" | dd of="$deb" bs=1 seek="$at" conv=notrunc status=none
done
# The server runs until the check ends, which stops it.
spawn python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$served" >"$work/server.log" 2>&1 && spawned=()
url=
for _ in $(seq 100); do url=$(grep -o -m 1 'http://127\.0\.0\.1:[0-9]*' "$work/server.log") && break; sleep 0.1; done
[ -n "$url" ] || fail "the HTTP server did not start: $(cat "$work/server.log")"

# The README's Nth block of lines under "Installing from the repository", with the release at URL.
readme_lines() { # N URL
    awk -v n="$1" '/^## / { section = ($0 == "## Installing from the repository") }
        section && /^```/ { open = !open; blocks += open; next } section && open && blocks == n' \
        "$source_dir/README.md" | sed "s|^repo=.*|repo=$2|"
}
# The Quick start's plugin line and exit status, from the installed plugin.
quick_start=$(sed -n 's|^cmake --preset release .* build/release/bin/\(cluster_plugin .*\)$|\1|p' "$source_dir/README.md")
for block in 1 3 4; do [ -n "$(readme_lines "$block" "$url")" ] || fail "the README has no block $block of lines to run"; done

# In a clean root of RELEASE, the README's lines against the copies and the release.
check_repository() { # RELEASE
    local release=$1 root=$work/root-$1 log=$work/$1.log
    in_clean_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@" >"$log" 2>&1; }
    readme() { in_clean_root bash -euc "$(readme_lines "$@")"; } # N URL
    # shellcheck disable=SC2016 # dpkg-query's own format
    installed() { chroot "$root" dpkg-query -W -f '${Version} ' "$@"; }
    quick_start_line() {
        local shown && shown=$(chroot "$root" bash -c "line=\$($plugins/$quick_start); echo \"\$line \$?\"")
        [ "$shown" = "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical 1" ] || fail "$release: $quick_start: $shown"
    }
    step "$release: the repository added as the README says refuses tampered copies, installs, swaps, adds the debug suite"
    logged "$log" mmdebstrap mmdebstrap --variant=apt --include=curl,gpg "$release" "$root" "deb $mirror $release main"
    readme 1 "$url/other-key" || fail "the README's lines: $(cat "$log")"
    ! in_clean_root apt-get update --error-on=any && grep -q -E 'NO_PUBKEY|Missing key' "$log" ||
        fail "apt-get update took another key's signature: $(cat "$log")"
    ! in_clean_root apt-get install -y "$package" || fail "installed from a copy signed by another key"
    readme 1 "$url/tampered" && in_clean_root apt-get update --error-on=any && in_clean_root apt-get clean ||
        fail "the tampered copy: $(cat "$log")"
    ! in_clean_root apt-get install -y "$package" && grep -q 'Hash Sum mismatch' "$log" ||
        fail "a changed package was not refused: $(cat "$log")"
    readme 1 "$url/release" && grep -q "$key" "$log" && in_clean_root apt-get update --error-on=any ||
        fail "the repository: $(cat "$log")"
    for name in "$package" "$package-static" "$package"; do
        in_clean_root apt-get install -y "$name" || fail "apt-get install $name: $(cat "$log")"
        [ "$(installed "$name")" = "$(sed -n 's/^Version: //p' "$builddir/$release"/*.dsc) " ] ||
            fail "$release installed $(installed "$name")"
    done
    quick_start_line
    readme 3 "$url/release" && in_clean_root apt-get update --error-on=any && in_clean_root apt-get install -y "$package-dbgsym" ||
        fail "the debug suite: $(cat "$log")"
    [ "$release" != "$newest" ] || return 0
    step "$release upgraded to $newest as the README says, and the plugins with it"
    sed -i "s/$release/$newest/g" "$root/etc/apt/sources.list"
    in_clean_root apt-get install -y "$package" "$package-dbgsym" && readme 4 "$url/release" &&
        in_clean_root apt-get update --error-on=any && in_clean_root apt-get full-upgrade -y -o Dpkg::Options::=--force-confold ||
        fail "the upgrade: $(tail -n 30 "$log")"
    [ "$(installed "$package" "$package-dbgsym")" = "$version $version " ] ||
        fail "the upgrade installed $(installed "$package" "$package-dbgsym")"
    quick_start_line
}
for release in "${releases[@]}"; do spawn check_repository "$release"; done

step "the RPM repository: rpmkeys, rpmlint, and dnf with halvex.repo"
# rpmkeys verifies every signature with the published key, and so does rpmlint's rpm -K.
mkdir "$work/rpmkeys" && echo "%_dbpath $work/rpmkeys" >"$work/rpmkeys/.rpmmacros"
rpmkeys --dbpath "$work/rpmkeys" --import "$out/halvex-archive-keyring.asc" || fail "rpmkeys --import"
checked=$(rpmkeys --dbpath "$work/rpmkeys" -K "$out"/rpm/*.rpm) && ! grep -v ': digests signatures OK$' <<<"$checked" ||
    fail "rpmkeys -K: $checked"
rpm=$(echo "$out/rpm/$package-$version"-*."$(rpm --eval '%{_arch}')".rpm)
lint=$(HOME=$work/rpmkeys rpmlint -r "$source_dir/packaging/$package.rpmlintrc" "$rpm" "$out"/rpm/*.src.rpm 2>&1) || true
grep -q ' 0 errors, 0 warnings' <<<"$lint" || fail "rpmlint: $lint"
# halvex.repo, set to REPOSITORY, in an empty installroot with a fresh cache.
dnf_list() { # REPOSITORY
    local dnf=$work/dnf-${1##*/}
    mkdir -p "$dnf/repos" && sed "s|$placeholder|$1|" "$out/halvex.repo" >"$dnf/repos/halvex.repo"
    dnf -y --installroot "$dnf/root" --releasever 41 --setopt "reposdir=$dnf/repos" --setopt "cachedir=$dnf/cache" \
        list --available "$package" >"$work/dnf.log" 2>&1
}
dnf_list "$url/release" && grep -q "^$package\.$(rpm --eval '%{_arch}') " "$work/dnf.log" || fail "dnf: $(cat "$work/dnf.log")"
! dnf_list "$url/other-key" && grep -q 'repomd.xml GPG signature verification error' "$work/dnf.log" ||
    fail "dnf took metadata signed by another key: $(cat "$work/dnf.log")"

wait_jobs
echo "release checks passed in $SECONDS s"
