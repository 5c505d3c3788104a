#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A REPODIR whose state was restored from a copy two releases old, and then one whose state
# was lost: the next release recovers from what public/ serves, never publishes a keyring
# version below one served nor a published name with other bytes, and a host upgrades to the
# new keyring package.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
repo=$work/repo dest=$served/lost-state

# A release into REPODIR that must recover its state, published, checked for bytes changed.
recovering_release() { # ARGUMENT...
    lasting_files "$dest" >"$work/lasting"
    "$releaser" "$@" --url "$url/lost-state" "$builddir" "$repo" >"$work/release.log" 2>&1 ||
        fail "the release after the state was lost: $(tail -n 30 "$work/release.log")"
    grep -q "lists less than .* holds" "$work/release.log" || fail "no recovery was said"
    publish "$repo" "$dest"
    kept_bytes "$work/lasting" "$dest"
}
# The host takes the newest keyring package, which holds KEYS.
host_follows() { # KEY...
    upgrade_host
    [ "$(installed $keyring)" = "$(keyring_version "$repo") " ] ||
        fail "$root has $keyring $(installed $keyring), not $(keyring_version "$repo")"
    [ "$(fingerprints "$root/usr/share/keyrings/$keyring.gpg")" = \
        "$(printf '%s\n' "$@" | sort)" ] ||
        fail "$root's keyring holds other keys"
}

step "releases into a REPODIR whose state is restored from an older copy, then lost"
C=$(make_key lost-state rsa3072 2y)
root=$work/root log=$work/host.log
release_published "$repo" "$dest" "$releaser" --key "$A" --url "$url/lost-state" "$builddir" "$repo"
new_host "$newest" "$root" "$url/lost-state"
cp -a "$repo/state/." "$work/old-state"
release_published "$repo" "$dest" "$releaser" --key "$A" --next-key "$B" --url "$url/lost-state" \
    "$builddir" "$repo"
release_published "$repo" "$dest" "$releaser" --key "$A" --url "$url/lost-state" "$builddir" "$repo"
highest=$(keyring_version "$repo")
find "$repo/state/" -mindepth 1 -delete
cp -a "$work/old-state/." "$repo/state/"
recovering_release --key "$A" --next-key "$C"
host_follows "$A" "$C"
dpkg --compare-versions "$(keyring_version "$repo")" gt "$highest" || fail "the version went back"
find "$repo/state/" -mindepth 1 -delete
recovering_release --key "$A" --next-key "$B"
host_follows "$A" "$B"
echo "passed"
