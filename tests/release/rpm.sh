#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The RPM repository: rpmkeys with the keys halvex-release holds, refusing an RPM another key
# signed; rpmlint; and dnf with the .repo it installs, refusing metadata another key signed.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# rpmlint takes one source package at a time.
rpmlint_() { # NAME FILE...
    local found
    found=$(HOME=$work/rpmkeys-public rpmlint -r "$source_dir/packaging/$1.rpmlintrc" "${@:2}" \
        2>&1) || true
    grep -q ' 0 errors, 0 warnings' <<<"$found" || fail "rpmlint: $found"
}

# dnf, with the .repo and keys that halvex-release installed, set to the copy at URL.
dnf_list() { # URL
    local root=$work/rpm-public
    dnf -y --installroot "$root" --releasever 41 --setopt "reposdir=$root/etc/yum.repos.d" \
        --setopt "cachedir=$work/dnf-${1##*/}" --setopt "halvex.baseurl=$1/rpm" \
        --setopt "halvex.gpgkey=file://$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex" \
        list --available "$package" >"$work/dnf.log" 2>&1
}

step "the RPM repository: rpmkeys with the keys halvex-release holds, rpmlint, and dnf"
rpm_check "$out" "$given"
rpm=$(echo "$out/rpm/$package-$version"-*."$(rpm --eval '%{_arch}')".rpm)
cp "$rpm" "$work/other.rpm"
run rpmsign --define "__gpg $(command -v gpg)" --define "_gpg_name $B" --addsign "$work/other.rpm"
! rpmkeys --dbpath "$work/rpmkeys-public" -K "$work/other.rpm" >"$work/rpmkeys.log" 2>&1 ||
    fail "rpmkeys took a signature by another key"
echo "%_dbpath $work/rpmkeys-public" >"$work/rpmkeys-public/.rpmmacros"
rpmlint_ "$package" "$rpm" "$out/rpm/$package-$version"-*.src.rpm
release_rpm=$(find "$out/rpm" -name 'halvex-release-*.noarch.rpm' | sort -V | tail -n 1)
rpmlint_ halvex-release "$release_rpm" "${release_rpm%.noarch.rpm}.src.rpm"
dnf_list "$url/release" || fail "dnf: $(cat "$work/dnf.log")"
grep -q "^$package\.$(rpm --eval '%{_arch}') " "$work/dnf.log" || fail "dnf: $(cat "$work/dnf.log")"
! dnf_list "$url/other-key" || fail "dnf took metadata signed by another key"
grep -q 'repomd.xml GPG signature verification error' "$work/dnf.log" ||
    fail "dnf took metadata signed by another key: $(cat "$work/dnf.log")"
echo "passed"
