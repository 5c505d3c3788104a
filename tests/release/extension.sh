#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A key extended with gpg --quick-set-expire reaches hosts: after the next release, a host of
# each release that runs apt-get update and apt-get upgrade alone holds the new expiry, and so
# does the key file of halvex-release.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
repo=$work/repo

# The expiry of the first key in KEYFILE, in seconds.
expiry() { # KEYFILE
    gpg --batch --with-colons --show-keys "$1" 2>/dev/null |
        awk -F: '$1 == "pub" { print $7; exit }'
}

step "a key extended with gpg --quick-set-expire reaches hosts with the next release"
key=$(make_key extended rsa3072 1y)
release_published "$repo" "$served/extension" "$releaser" --key "$key" --url "$url/extension" \
    "$builddir" "$repo"
for release in "${releases[@]}"; do new_host "$release" "$work/root-$release" "$url/extension"; done
gpg --batch --quick-set-expire "$key" 2y 2>/dev/null
gpg --batch --export "$key" >"$work/extended.gpg"
extended=$(expiry "$work/extended.gpg")
[ "$extended" != "$(expiry "$work/root-$newest/usr/share/keyrings/$keyring.gpg")" ] ||
    fail "the key was not extended"
release_published "$repo" "$served/extension" "$releaser" --key "$key" --url "$url/extension" \
    "$builddir" "$repo"
for release in "${releases[@]}"; do
    root=$work/root-$release log=$work/$release.log
    upgrade_host
    [ "$(expiry "$root/usr/share/keyrings/$keyring.gpg")" = "$extended" ] ||
        fail "$root holds $keyring $(installed $keyring) without the new expiry"
done
rpm=$(find "$repo/public/rpm" -name 'halvex-release-*.noarch.rpm' | sort -V | tail -n 1)
rpm2cpio "$rpm" | cpio --quiet -i --to-stdout ./etc/pki/rpm-gpg/RPM-GPG-KEY-halvex >"$work/rpm.asc"
[ "$(expiry "$work/rpm.asc")" = "$extended" ] || fail "${rpm##*/} lacks the new expiry"
echo "passed"
