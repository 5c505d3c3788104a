#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Three releases into one REPODIR: A signs, then A with B next, then B alone. Hosts follow by
# upgrading; the earlier version stays installable; a host that missed the keyring recovers by
# the README's lines; no published file changes its bytes; every RPM served verifies with the
# keys that halvex-release holds, those that A signed included.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
rotation=$work/rotation

follow() {
    local root release log=$work/follow.log
    for release in "${releases[@]}"; do
        root=$work/root-$release-rotation
        upgrade_host
    done
}

step "three releases into one REPODIR: A signs, then A with B next, then B alone; hosts follow"
bumped "$work/next"
release_published "$rotation" "$served/rotation" "$releaser" --key "$A" --url "$url/rotation" \
    "$builddir" "$rotation"
for host in "${releases[@]/%/-rotation}" "$newest-late"; do
    root=$work/root-$host log=$work/setup.log
    clean_root "${host%-*}" "$root"
    readme 1 "$url/rotation" || fail "$root: $(cat "$log")"
    readme 2 "$url/rotation" || fail "$root: $(cat "$log")"
done
release_published "$rotation" "$served/rotation" "$releaser" --key "$A" --next-key "$B" \
    --url "$url/rotation" "$work/next" "$rotation"
follow
release_published "$rotation" "$served/rotation" "$releaser" --key "$B" --url "$url/rotation" \
    "$work/next" "$rotation"
follow
for release in "${releases[@]}"; do
    root=$work/root-$release-rotation
    [ "$(installed $keyring)" = "$(keyring_version "$rotation") " ] ||
        fail "$root has $keyring $(installed $keyring)"
    [ "$(fingerprints "$root/usr/share/keyrings/$keyring.gpg")" = "$B" ] ||
        fail "$root's keyring holds other keys than B"
    [[ $(installed "$package") == $version.1* ]] || fail "$root has $(installed "$package")"
done
# The earlier version stays installable: on an older release, its backport.
for release in "${releases[@]}"; do
    root=$work/root-$release-rotation log=$work/downgrade.log
    earlier=$(sed -n 's/^Version: //p' "$builddir/$release"/*.dsc)
    in_clean_root apt-get install --allow-downgrades "$package=$earlier" ||
        fail "$earlier could not be installed again: $(cat "$log")"
    [ "$(installed "$package")" = "$earlier " ] || fail "$root: $earlier was not installed again"
done
root=$work/root-$newest-late log=$work/late.log
! apt_update || fail "a host that missed a keyring took a release"
grep -q -E "NO_PUBKEY ${B:24}|Missing key $B" "$log" ||
    fail "a host that missed a keyring took a release: $(cat "$log")"
readme 6 "$url/rotation" || fail "the README's recovery: $(cat "$log")"
apt_update || fail "the README's recovery: $(cat "$log")"
[ "$(installed $keyring)" = "$(keyring_version "$rotation") " ] || fail "the README's recovery"
rpm_check "$served/rotation" "$url/rotation"
echo "passed"
