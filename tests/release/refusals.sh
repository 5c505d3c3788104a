#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# packaging/release refuses, before it writes anything (a lock file included), every key
# outside its policy, as a key that signs or a next key; a key that hosts lack on an existing
# repository; a folder not its own; and a build not checked, or changed since.
# shellcheck source=helpers.sh
. "$(dirname "$0")/helpers.sh"
scenario_setup

# A key that is revoked, made by gpg with its revocation certificate.
revoked_key() { # NAME
    local key
    key=$(make_key "$1" rsa3072 2y)
    sed 's/^:-----/-----/' "$GNUPGHOME/openpgp-revocs.d/$key.rev" | gpg --batch --import 2>/dev/null
    echo "$key"
}
# The paths and checksums of what FOLDER holds, links followed.
contents() { # FOLDER
    [ ! -e "$1" ] || (cd "$1" && find -L . -type f -exec sha256sum {} + | LC_ALL=C sort -k 2)
}

step "the keys"
short=$(make_key short rsa2048 1y) sha1=$(make_key sha1 rsa3072 1y --cert-digest-algo SHA1)
soon=$(make_key soon rsa3072 10d) ed25519=$(make_key ed25519 ed25519 2y)
nistp256=$(make_key nistp256 nistp256 2y) nistp384=$(make_key nistp384 nistp384 2y)
brainpool=$(make_key brainpool brainpoolP256r1 2y) secp256k1=$(make_key secp256k1 secp256k1 2y)
dsa=$(make_key dsa dsa2048 2y) revoked=$(revoked_key revoked) brief=$(make_key brief rsa3072 100d)
gpg --batch --passphrase '' --quick-gen-key "Halvex certifies check <certifies@example.org>" \
    rsa3072 cert 2y 2>/dev/null
certifies=$(fingerprint --list-keys "<certifies@example.org>")
lacking=$(make_key lacking rsa3072 2y) public=$(make_key public rsa3072 2y)
gpg --batch --yes --delete-secret-keys "$public" 2>/dev/null

step "packaging/release refuses keys that cannot sign or would fail hosts, a folder not its own," \
    "a build not checked or changed since"
mkdir "$work/full"
touch "$work/full/file"
cp -a "$repodir" "$work/existing"
# MESSAGE | KEY ARGUMENTS | REPODIR | what changes in a copy of BUILDDIR
while IFS='|' read -r message arguments repo change; do
    rm -rf "$work/copy"
    cp -r "$builddir" "$work/copy"
    (cd "$work/copy" && eval "$change")
    before=$(contents "$work/$repo")
    # shellcheck disable=SC2086 # the row's words
    if "$releaser" $arguments --url "$given" "$work/copy" "$work/$repo" 2>"$work/refusal"; then
        fail "packaging/release $arguments, $repo, $change was not refused"
    fi
    grep -q -F "$message" "$work/refusal" ||
        fail "packaging/release $arguments, $repo, $change: $(cat "$work/refusal")"
    [ "$(contents "$work/$repo")" = "$before" ] ||
        fail "$arguments, $repo: $repo changed: $(cat "$work/refusal")"
    [ "$repo" != refused ] || [ ! -e "$work/refused" ] || fail "$arguments: $repo was made"
done <<ROWS
is not in|--key ${A//?/0}|refused|:
cannot sign|--key $public|refused|:
an RSA key of 2048 bits, under 3072|--key $short|refused|:
a SHA-1 self-signature|--key $sha1|refused|:
within 22 days|--key $soon|refused|:
ed25519 key: rpm in FIPS mode refuses EdDSA|--key $ed25519|refused|:
ed25519 key: rpm in FIPS mode refuses EdDSA|--key $A --next-key $ed25519|refused|:
nistp256 key, which bookworm's rpm 4.18 cannot import|--key $nistp256|refused|:
nistp384 key, which bookworm's rpm 4.18 cannot import|--key $A --next-key $nistp384|refused|:
brainpoolP256r1 key, which bookworm's rpm|--key $brainpool|refused|:
secp256k1 key, which bookworm's rpm 4.18 cannot import|--key $A --next-key $secp256k1|refused|:
a DSA key|--key $A --next-key $dsa|refused|:
it is revoked|--key $A --next-key $revoked|existing|:
it has no valid key or subkey that signs|--key $A --next-key $certifies|existing|:
a next key must be valid for 365 days|--key $A --next-key $brief|existing|:
no key given to sign is in the keyring package|--key $lacking|existing|:
no key given to sign is in the keyring package|--key $lacking --next-key $A|existing|:
neither an empty folder|--key $A|full|:
was not checked|--key $A|refused|rm checked
has changed since|--key $A|refused|echo >>not-built
has changed since|--key $A|refused|rm rpm/*.src.rpm
has changed since|--key $A|refused|touch $newest/extra.deb
has changed since|--key $A|refused|sed -i 1d SHA256SUMS
ROWS
# The refresh too: a key that hosts lack, or one that expires too soon.
for arguments in "--key $lacking" "--key $soon"; do
    before=$(contents "$work/existing")
    # shellcheck disable=SC2086 # the row's words
    ! "$releaser" --refresh $arguments "$work/existing" 2>"$work/refusal" ||
        fail "packaging/release --refresh $arguments was not refused"
    [ "$(contents "$work/existing")" = "$before" ] || fail "--refresh $arguments changed REPODIR"
done
echo "passed"
