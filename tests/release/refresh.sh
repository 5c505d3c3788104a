#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A release made 20 days ago is refused by hosts as expired, and packaging/check-repository
# says CRITICAL; the refresh units, installed as PACKAGING.md says, pass systemd-analyze
# verify; their script, run as the release account with an environment file, signs it again
# with both keys and publishes it; then check-repository says OK and hosts take it.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup
account=halvex-release
unit_folder=/usr/local/lib/halvex-release

# The units and the tree where their ExecStart expects them, in a root of their own, verified.
check_units() {
    local root=$work/units problems
    mkdir -p "$root/etc/systemd/system" "$root$unit_folder" "$root/usr/lib/systemd"
    cp -a /usr/lib/systemd/system "$root/usr/lib/systemd/"
    copy_tree "$root$unit_folder"
    install -m 644 "$root$unit_folder"/packaging/halvex-refresh.{service,timer} \
        "$root/etc/systemd/system/"
    problems=$(systemd-analyze verify --root="$root" halvex-refresh.service halvex-refresh.timer \
        2>&1) || fail "systemd-analyze verify: $problems"
    [ -z "$problems" ] || fail "systemd-analyze verify: $problems"
}

# The timer's period is the refresh_days that the validity is reckoned from.
check_period() {
    local calendar elapses
    calendar=$(sed -n 's/^OnCalendar=//p' "$source_dir/packaging/halvex-refresh.timer")
    mapfile -t elapses < <(systemd-analyze calendar --iterations=2 "$calendar" |
        sed -n 's/^ *\(Next elapse\|Iter\. #2\): //p')
    local period=$(($(date -d "${elapses[1]}" +%s) - $(date -d "${elapses[0]}" +%s)))
    [ "$period" = $((refresh_days * 86400)) ] ||
        fail "the timer runs every '$calendar', not every $refresh_days days"
}

# CHECK-REPOSITORY of the copy at URL, with its keyring: the exit status and the line.
repository_state() { # URL
    local line status=0
    line=$("$source_dir/packaging/check-repository" --keyring "$served/frozen/$keyring.gpg" "$1") ||
        status=$?
    echo "$status $line"
}

# The units' script, as the release account, with a GnuPG home and an environment file of its
# own; the tree, the repository and what it publishes to are the account's.
refresh_as_account() {
    local home
    id -u "$account" >/dev/null 2>&1 ||
        fail "the check runs the refresh as $account, which is missing"
    home=$(mktemp -d)
    at_exit="runuser -u $account -- env GNUPGHOME=$home/gnupg gpgconf --kill all; rm -rf $home"
    chmod 755 "$home"
    copy_tree "$home/tree"
    cp -a "$GNUPGHOME" "$home/gnupg"
    mv "$work/frozen" "$home/repo"
    # The account publishes to a folder of its own, which the server serves through a link.
    mv "$served/frozen" "$home/dest"
    ln -s "$home/dest" "$served/frozen"
    printf '%s\n' "# The check's refresh" "KEYS=$A $B" "REPODIR=$home/repo" \
        "DEST=$home/dest" "GNUPGHOME=$home/gnupg" >"$home/refresh.conf"
    chown -R "$account:" "$home"
    runuser -u "$account" -- env -i PATH=/usr/bin:/bin HOME=/nonexistent \
        "$home/tree/packaging/refresh" "$home/refresh.conf" >"$work/refresh.log" 2>&1 ||
        fail "the units' script: $(tail -n 30 "$work/refresh.log")"
    complete_repository "$home/repo" 1 || fail "the refresh left the repository incomplete"
}

# Each key signs every index.
signed_by() { # GPGV ARGUMENT...
    gpgv --status-fd 1 --keyring "$work/signers.gpg" "$@" 2>/dev/null |
        awk '/VALIDSIG/ { print $NF }' | sort | paste -s -d' '
}
check_signers() {
    local both
    gpg --batch --export "$A" "$B" >"$work/signers.gpg"
    both=$(printf '%s\n' "$A" "$B" | sort | paste -s -d' ')
    [ "$(signed_by "$served/frozen/debian/dists/$newest/InRelease")" = "$both" ] ||
        fail "A and B did not sign every InRelease"
    [ "$(signed_by "$served/frozen/rpm/repodata/repomd.xml"{.asc,})" = "$both" ] ||
        fail "A and B did not sign repomd.xml"
}

step "the units, as PACKAGING.md installs them; the timer's period"
check_units
check_period
step "a release made 20 days ago is refused as expired; once refreshed by the units' script with" \
    "two keys, it is taken"
root=$work/root-frozen log=$work/frozen.log
clean_root "$newest" "$root"
release_published "$work/frozen" "$served/frozen" faketime -f -20d "$releaser" --key "$A" \
    --next-key "$B" --url "$url/frozen" "$builddir" "$work/frozen"
readme 1 "$url/frozen" || fail "the README's lines: $(cat "$log")"
! apt_update || fail "apt took an expired release"
grep -q 'is expired' "$log" || fail "apt took an expired release: $(cat "$log")"
state=$(repository_state "$url/frozen")
[[ $state == "2 Halvex repository CRITICAL: "*" is 5 days past its Valid-Until" ]] ||
    fail "packaging/check-repository before the refresh: $state"
refresh_as_account
state=$(repository_state "$url/frozen")
[[ $state == "0 Halvex repository OK: "*" has $((valid_days - 1)) days left before its "* ]] ||
    fail "packaging/check-repository after the refresh: $state"
apt_update || fail "apt refused the refreshed release: $(cat "$log")"
check_signers
echo "passed"
