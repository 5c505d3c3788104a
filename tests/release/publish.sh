#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# packaging/publish refuses, before it copies or deletes anything, a DEST that is empty, the
# root, or a folder that holds files no publish left there; what is there survives. The empty
# and the root DEST are tried in a root of their own, a copy of a clean root with the tree and
# REPODIR, whose rsync only records its arguments.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# packaging/publish into DEST is refused, with MESSAGE.
refused() { # MESSAGE COMMAND...
    if "${@:2}" >"$work/refusal" 2>&1; then fail "$* was not refused"; fi
    grep -q -F "$1" "$work/refusal" || fail "$*: $(cat "$work/refusal")"
}

step "packaging/publish refuses an unmarked folder, an empty DEST and the root"
mkdir "$work/site"
echo "the site's own page" >"$work/site/index.html"
refused "holds files that no publish left there" \
    "$source_dir/packaging/publish" "$repodir" "$work/site"
[ "$(cat "$work/site/index.html")" = "the site's own page" ] || fail "the site's page changed"
[ "$(ls -A "$work/site")" = index.html ] || fail "publish wrote into an unmarked folder"

root=$work/root
clean_root "$newest" "$root"
copy_tree "$root/tree"
cp -a "$repodir" "$root/repo"
printf '%s\n' '#!/bin/sh' 'echo "$*" >>/rsync.log' >"$root/usr/bin/rsync"
chmod 755 "$root/usr/bin/rsync"
echo "precious" >"$root/precious"
for dest in "" / // /.; do
    refused "not into '$dest'" chroot "$root" /tree/packaging/publish /repo "$dest"
    [ ! -e "$root/rsync.log" ] || fail "publish into '$dest' ran rsync $(cat "$root/rsync.log")"
    [ "$(cat "$root/precious")" = precious ] || fail "publish into '$dest' harmed the root"
done
echo "passed"
