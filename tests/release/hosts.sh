#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# On a host of each release, the repository added by the README's lines refuses the copy that
# another key signed and the copy with a changed package; from the release, the packages
# install, replace each other and run; the debug suite adds; an older release upgrades to the
# newest with the plugins.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# The Quick start's plugin line and exit status, from the installed plugin.
quick_start_line() {
    local quick_start shown
    quick_start=$(sed -n \
        's|^cmake --preset release .* build/release/bin/\(cluster_plugin .*\)$|\1|p' \
        "$source_dir/README.md")
    shown=$(in_root "$root" 0:0 none bash -c "line=\$($plugins/$quick_start); echo \"\$line \$?\"")
    [ "$shown" = "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical 1" ] ||
        fail "$root: $quick_start: $shown"
}

refuses_copies() {
    readme 1 "$url/other-key" || fail "the README's lines: $(cat "$log")"
    ! in_clean_root apt-get update --error-on=any || fail "apt-get update took another key"
    grep -q -E 'NO_PUBKEY|Missing key' "$log" ||
        fail "apt-get update took another key's signature: $(cat "$log")"
    ! in_clean_root apt-get install "$package" || fail "installed from a copy signed by another key"
    readme 1 "$url/tampered" || fail "the tampered copy: $(cat "$log")"
    in_clean_root apt-get update --error-on=any || fail "the tampered copy: $(cat "$log")"
    in_clean_root apt-get clean || fail "apt-get clean: $(cat "$log")"
    ! in_clean_root apt-get install "$package" || fail "a changed package was installed"
    grep -q 'Hash Sum mismatch' "$log" || fail "a changed package was not refused: $(cat "$log")"
}

installs() { # RELEASE
    local name
    readme 1 "$url/release" || fail "the repository: $(cat "$log")"
    grep -q "$(fingerprint --show-keys "$out/$keyring.gpg")" "$log" ||
        fail "the README's lines show no fingerprint: $(cat "$log")"
    readme 2 "$url/release" || fail "the repository: $(cat "$log")"
    for name in "$package-static" "$package"; do
        in_clean_root apt-get install "$name" || fail "apt-get install $name: $(cat "$log")"
        [ "$(installed "$name")" = "$(sed -n 's/^Version: //p' "$builddir/$1"/*.dsc) " ] ||
            fail "$1 installed $name $(installed "$name")"
    done
    [ "$(installed $keyring)" = "$(keyring_version "$repodir") " ] ||
        fail "$1 installed $keyring $(installed $keyring)"
    quick_start_line
    readme 3 "$url/release" || fail "the debug suite: $(cat "$log")"
    in_clean_root apt-get update --error-on=any || fail "the debug suite: $(cat "$log")"
    in_clean_root apt-get install "$package-dbgsym" || fail "the debug suite: $(cat "$log")"
}

upgrades() { # RELEASE
    step "$1 upgraded to $newest as the README says, and the plugins with it"
    sed -i "s/$1/$newest/g" "$root/etc/apt/sources.list"
    in_clean_root apt-get install "$package" "$package-dbgsym" || fail "$(tail -n 30 "$log")"
    readme 4 "$url/release" || fail "the upgrade: $(tail -n 30 "$log")"
    in_clean_root apt-get update --error-on=any || fail "the upgrade: $(tail -n 30 "$log")"
    in_clean_root apt-get full-upgrade -o Dpkg::Options::=--force-confold ||
        fail "the upgrade: $(tail -n 30 "$log")"
    [ "$(installed "$package" "$package-dbgsym")" = "$version $version " ] ||
        fail "the upgrade installed $(installed "$package" "$package-dbgsym")"
    quick_start_line
}

host() { # RELEASE
    local root=$work/root-$1 log=$work/$1.log
    step "$1: the repository added as the README says refuses tampered copies, installs," \
        "swaps, adds the debug suite"
    clean_root "$1" "$root"
    refuses_copies
    installs "$1"
    [ "$1" = "$newest" ] || upgrades "$1"
}

for block in 1 2 3 4 6; do
    [ -n "$(readme_lines "$block" "$url")" ] ||
        fail "the README has no block $block of lines to run"
done
for release in "${releases[@]}"; do spawn host "$release"; done
wait_jobs
echo "passed"
