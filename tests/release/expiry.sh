#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# With a signing key that expires in 40 days, a release and a refresh pass, each warning on
# standard error that the key must be extended or replaced; a host takes the refreshed
# repository. (One that expires in 10 days is refused: refusals.sh.)
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# COMMAND passes, and warns that KEY expires.
warns() { # KEY COMMAND...
    "${@:2}" >"$work/out.log" 2>"$work/err.log" || fail "$*: $(tail -n 30 "$work/err.log")"
    grep -q "^warning: the key $1 expires on .*: extend it or rotate to a new key" \
        "$work/err.log" ||
        fail "$* gave no warning: $(cat "$work/err.log")"
}

step "a key that expires in 40 days signs a release and a refresh, with a warning; a host takes it"
key=$(make_key expiring rsa3072 40d)
repo=$work/repo
warns "$key" "$releaser" --key "$key" --url "$url/expiring" "$builddir" "$repo"
publish "$repo" "$served/expiring"
root=$work/root log=$work/host.log
new_host "$newest" "$root" "$url/expiring"
warns "$key" "$releaser" --refresh --key "$key" "$repo"
publish "$repo" "$served/expiring"
apt_update || fail "a host refused the refreshed repository: $(cat "$log")"
echo "passed"
