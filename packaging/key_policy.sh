#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The keys that packaging/release takes: what every verifier that hosts run accepts. It only
# defines. PACKAGING.md, "The key policy", says why each rule is there.
# shellcheck disable=SC2154 # common.sh's facts

# Why hosts would reject the signatures of KEY, in the caller's GnuPG, as a key that signs
# (sign) or a next key (next): one reason a line, nothing when they would not. The warning
# before a key expires goes to standard error.
key_problems() { # KEY sign|next
    [ ${#1} = 40 ] || echo "it is not a version 4 key (bookworm's gpgv cannot read version 5 keys)"
    gpg --batch --with-colons --fixed-list-mode --list-keys "$1" 2>/dev/null |
        key_listing_problems "$@"
    key_digest_problems "$1"
}

# The rules that gpg's listing of a key shows: revocation, expiry, what signs, algorithms.
key_listing_problems() { # KEY sign|next
    local now
    now=$(date +%s)
    awk -F: -v key="$1" -v role="$2" -v now="$now" -v day=86400 -v margin="$signing_margin_days" \
        -v warn="$warn_days" -v next_days="$next_key_days" -v valid="$valid_days" \
        -v refresh="$refresh_days" '
        function on(t) { return strftime("%Y-%m-%d", t, 1) }
        $1 != "pub" && $1 != "sub" { next }
        $1 == "pub" && $2 ~ /r/ { print "it is revoked" }
        $1 == "pub" && $2 ~ /e/ { print "it has expired" }
        $1 == "pub" && $12 !~ /S/ { print "it has no valid key or subkey that signs" }
        $2 ~ /[rei]/ { next }
        $4 == 1 || $4 == 3 {
            if ($3 < 3072) print "it holds an RSA key of " $3 " bits, under 3072"
            if ($3 > 4096) print "it holds an RSA key of " $3 " bits, over 4096"
        }
        $4 == 17 { print "it holds a DSA key" }
        $4 == 22 || $17 ~ /^ed/ { print "it holds an " $17 " key: rpm in FIPS mode refuses EdDSA" }
        ($4 == 18 || $4 == 19) && $17 !~ /^(ed|cv)/ {
            print "it holds a " $17 " key, which bookworm'\''s rpm 4.18 cannot import"
        }
        $4 == 18 && $17 ~ /^cv/ { print "it holds a " $17 " key: only RSA keys are taken" }
        $4 != 1 && $4 != 3 && $4 != 17 && $4 != 18 && $4 != 19 && $4 != 22 {
            print "it holds a key of algorithm " $4 ": only RSA keys are taken"
        }
        $12 ~ /s/ && $7 != "" && (expires == "" || $7 < expires) { expires = $7 }
        END {
            if (expires == "") exit
            if (role == "next" && expires < now + next_days * day)
                print "it expires on " on(expires) ": a next key must be valid for " \
                    next_days " days"
            if (role == "sign" && expires < now + margin * day)
                print "it expires on " on(expires) ", within " margin " days: the validity (" \
                    valid " days) and one refresh (" refresh " days)"
            else if (role == "sign" && expires < now + warn * day)
                printf "warning: the key %s expires on %s: extend it or rotate to a new key" \
                    " (PACKAGING.md, \"Extending a key\" and \"Rotating the key\")\n", \
                    key, on(expires) > "/dev/stderr"
        }'
}

# Every self-signature and binding signature is made with SHA-256 or stronger.
key_digest_problems() { # KEY
    gpg --batch --export --export-options export-minimal "$1" | gpg --batch --list-packets \
        2>/dev/null | awk '$1 == "digest" && $2 == "algo" {
            algo = $3 + 0
            if (algo == 2) weak["it has a SHA-1 self-signature or binding signature"]
            else if (algo < 8 || algo > 10)
                weak["it has a self-signature or binding signature of digest algorithm " algo]
        }
        END { for (reason in weak) print reason }'
}

# Refuses, before anything is written, every key that breaks the policy, and a key to sign
# with that cannot sign here. KEYS sign; NEXT_KEYS only go into the keyring packages.
check_keys() { # KEY... -- NEXT_KEY...
    local key role=sign why signed
    for key in "$@"; do
        [ "$key" != -- ] || { role=next && continue; }
        [[ $key =~ ^[0-9A-F]{40}([0-9A-F]{24})?$ ]] ||
            refuse "a key is named by its full fingerprint, in capitals: $key"
        gpg --batch --list-keys "$key" >/dev/null 2>&1 ||
            refuse "the key $key is not in ${GNUPGHOME:-$HOME/.gnupg}"
        why=$(key_problems "$key" "$role")
        [ -z "$why" ] || refuse "the key $key would fail hosts: ${why//$'\n'/; }"
        [ "$role" = sign ] || continue
        if ! signed=$(echo test | gpg --batch --local-user "$key" --sign 2>&1 >/dev/null); then
            refuse "the key $key cannot sign in ${GNUPGHOME:-$HOME/.gnupg}: $signed"
        fi
    done
}
