#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck disable=SC2015 # fail exits: "A && B || fail" fails unless both hold
# The fourth stage of a release: checks what packaging/release made in REPODIR from BUILDDIR,
# as administrators use it, and how a repository lives on: releases added to one REPODIR with
# keys that rotate, published with packaging/publish, and refreshed (PACKAGING.md says what).
# shellcheck source=../packaging/common.sh
. "$(dirname "$0")/../packaging/common.sh" check_release "BUILDDIR REPODIR" "$@"
read_build "$1" && out=$(cd "$2" && pwd)/public
mirror=$(mirror) arch=$(dpkg --print-architecture)
# The check's own keys live apart from its folder, which must hold no secret key.
keys=$(mktemp -d) && export GNUPGHOME=$keys
at_exit="gpgconf --kill all; rm -rf $keys"
fingerprint() { gpg --batch --with-colons "$@" 2>/dev/null | awk -F: '/^fpr:/ { print $10; exit }'; }
make_key() { # NAME TYPE EXPIRY [GPG OPTION...]
    gpg --batch --passphrase '' "${@:4}" --quick-gen-key "Halvex $1 check <$1@example.org>" "$2" sign "$3" 2>/dev/null
    fingerprint --list-keys "<$1@example.org>"
}
# A and B sign the check's releases. They were made 50 days ago, for a release made 45 days ago.
for name in a b; do
    faketime -f -50d gpg --batch --passphrase '' --quick-gen-key "Halvex $name check <$name@example.org>" rsa3072 sign 2y 2>/dev/null
done
gpgconf --kill gpg-agent
A=$(fingerprint --list-keys "<a@example.org>") B=$(fingerprint --list-keys "<b@example.org>")
short=$(make_key short rsa2048 1y) sha1=$(make_key sha1 rsa3072 1y --cert-digest-algo SHA1) soon=$(make_key soon rsa3072 30d)
given=$(sed -n 's|^URIs: \(.*\)/debian$|\1|p' "$out/halvex.sources")

step "packaging/release refuses keys that cannot sign or would fail hosts, a folder not its own, a build not checked or changed since"
mkdir "$work/full" && touch "$work/full/file"
# MESSAGE | KEY | REPODIR | what changes in a copy of BUILDDIR
while IFS='|' read -r message signer repo change; do
    rm -rf "$work/copy" && cp -r "$builddir" "$work/copy" && (cd "$work/copy" && eval "$change")
    ! "$source_dir/packaging/release" --key "$signer" --url "$given" "$work/copy" "$work/$repo" 2>"$work/refusal" &&
        grep -q -F "$message" "$work/refusal" && [ ! -e "$work/refused" ] && [ "$(ls -A "$work/full")" = file ] ||
        fail "packaging/release --key $signer, $repo, $change: $(cat "$work/refusal")"
done <<EOF
cannot sign|${A//?/0}|refused|:
an RSA key of 2048 bits|$short|refused|:
a SHA-1 self-signature|$sha1|refused|:
expires within 60 days|$soon|refused|:
neither an empty folder|$A|full|:
was not checked|$A|refused|rm checked
has changed since|$A|refused|echo >>not-built
has changed since|$A|refused|rm rpm/*.src.rpm
has changed since|$A|refused|touch $newest/extra.deb
has changed since|$A|refused|sed -i 1d SHA256SUMS
EOF
rm -r "$work/copy"

step "no secret key in the release, the build or this check's folder; the signatures; the checked files; the address"
while IFS= read -r -d '' file; do
    ! gpg --batch --list-packets "$file" 2>/dev/null | grep -q '^:secret' || fail "$file holds a secret key"
done < <(find "${out%/public}" "$builddir" "$work" -type f -print0)
verify() { gpgv --keyring "$out/$keyring.gpg" "$@" 2>"$work/gpgv.log" || fail "gpgv $*: $(cat "$work/gpgv.log")"; }
verify "$out/${tarball##*/}.asc" "$out/${tarball##*/}"
verify "$out/rpm/repodata/repomd.xml.asc" "$out/rpm/repodata/repomd.xml"
for suite in "$out"/debian/dists/*; do verify "$suite/InRelease" && verify "$suite/Release.gpg" "$suite/Release"; done
# Every .deb, source file and tarball that was checked is published, unchanged; the signed RPMs
# keep the digests of the header and the payload that were checked.
by_name() { sed -E 's|  (.*/)?|  |' | LC_ALL=C sort; }
[ -z "$(comm -23 <(grep -E '\.(deb|dsc|buildinfo|tar\.[a-z]+)$' "$builddir/SHA256SUMS" | by_name) \
    <(find "$out/debian/pool" "$out/${tarball##*/}" -type f -exec sha256sum {} + | by_name))" ] ||
    fail "the release publishes other files than were checked"
[ -z "$(comm -23 <(rpm_digests "$builddir"/rpm/*.rpm) <(rpm_digests "$out"/rpm/*.rpm))" ] ||
    fail "the signed RPMs are other packages than were checked"
grep -q -x "baseurl=$given/rpm" "$out/halvex.repo" && [[ $given == http* ]] || fail "halvex.repo names another address than halvex.sources"

# The HTTP server serves $served until the check ends, which stops it.
served=$work/served && mkdir "$served"
spawn python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$served" >"$work/server.log" 2>&1 && spawned=()
url=
for _ in $(seq 100); do url=$(grep -o -m 1 'http://127\.0\.0\.1:[0-9]*' "$work/server.log") && break; sleep 0.1; done
[ -n "$url" ] || fail "the HTTP server did not start: $(cat "$work/server.log")"
publish() { "$source_dir/packaging/publish" "$@" >>"$work/publish.log" 2>&1 || fail "packaging/publish $*: $(cat "$work/publish.log")"; }
run() { "$@" >>"$work/run.log" 2>&1 || fail "$*: $(tail "$work/run.log")"; }
releaser=$source_dir/packaging/release

step "the release published on 127.0.0.1 in place of its address, with a copy signed by another key and one with a changed package"
publish "${out%/public}" "$served/release"
cp -r "$served/release" "$served/other-key" && cp -r "$served/release" "$served/tampered"
for copy in release other-key tampered; do sed -i "s|$given|$url/$copy|" "$served/$copy"/halvex.{sources,repo}; done
resign() { gpg --batch --yes --local-user "$B" "$@"; }
for suite in "$served"/other-key/debian/dists/*; do
    resign --clearsign -o "$suite/InRelease" "$suite/Release" && resign --detach-sign -o "$suite/Release.gpg" "$suite/Release"
done
resign --armor --detach-sign "$served/other-key/rpm/repodata/repomd.xml"
for deb in "$served/tampered/debian/pool/main/h/$package/${package}"_*_"$arch".deb; do
    at=$(($(stat -c %s "$deb") / 2)) && byte=$(od -A n -t u1 -j "$at" -N 1 "$deb")
    printf '%b' "\\$(printf %03o $((byte ^ 1)))" | dd of="$deb" bs=1 seek="$at" conv=notrunc status=none
done

# The README's Nth block of lines under "Installing from the repository", with the release at URL.
readme_lines() { # N URL
    awk -v n="$1" '/^## / { section = ($0 == "## Installing from the repository") }
        section && /^```/ { open = !open; blocks += open; next } section && open && blocks == n' \
        "$source_dir/README.md" | sed "s|^repo=.*|repo=$2|"
}
# The Quick start's plugin line and exit status, from the installed plugin.
quick_start=$(sed -n 's|^cmake --preset release .* build/release/bin/\(cluster_plugin .*\)$|\1|p' "$source_dir/README.md")
for block in 1 2 3 4 6; do [ -n "$(readme_lines "$block" "$url")" ] || fail "the README has no block $block of lines to run"; done

# In a copy of a clean root of a release, as root there: $root, with the output in $log.
in_clean_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@" >"$log" 2>&1; }
readme() { in_clean_root bash -euc "$(readme_lines "$@")"; } # N URL
# shellcheck disable=SC2016 # dpkg-query's own format
installed() { chroot "$root" dpkg-query -W -f '${Version} ' "$@"; }
quick_start_line() {
    local shown && shown=$(chroot "$root" bash -c "line=\$($plugins/$quick_start); echo \"\$line \$?\"")
    [ "$shown" = "Service cluster problem: 2 ok, 1 warning, 0 unknown, 1 critical 1" ] || fail "$root: $quick_start: $shown"
}
clean_root() { rm -rf "$2" && cp -a "$work/clean-$1" "$2"; } # RELEASE ROOT
for release in "${releases[@]}"; do
    spawn logged "$work/clean-$release.log" mmdebstrap mmdebstrap --variant=apt --include=curl,gpg \
        --aptopt='APT::Get::Assume-Yes "true"' "$release" "$work/clean-$release" "deb $mirror $release main"
done
wait_jobs

# The README's lines against the copies and the release.
check_repository() { # RELEASE
    local release=$1 root=$work/root-$1 log=$work/$1.log
    step "$release: the repository added as the README says refuses tampered copies, installs, swaps, adds the debug suite"
    clean_root "$release" "$root"
    readme 1 "$url/other-key" || fail "the README's lines: $(cat "$log")"
    ! in_clean_root apt-get update --error-on=any && grep -q -E 'NO_PUBKEY|Missing key' "$log" ||
        fail "apt-get update took another key's signature: $(cat "$log")"
    ! in_clean_root apt-get install "$package" || fail "installed from a copy signed by another key"
    readme 1 "$url/tampered" && in_clean_root apt-get update --error-on=any && in_clean_root apt-get clean ||
        fail "the tampered copy: $(cat "$log")"
    ! in_clean_root apt-get install "$package" && grep -q 'Hash Sum mismatch' "$log" ||
        fail "a changed package was not refused: $(cat "$log")"
    readme 1 "$url/release" && grep -q "$(fingerprint --show-keys "$out/$keyring.gpg")" "$log" && readme 2 "$url/release" ||
        fail "the repository: $(cat "$log")"
    for name in "$package-static" "$package"; do in_clean_root apt-get install "$name" || fail "apt-get install $name: $(cat "$log")"; done
    [ "$(installed $keyring "$package")" = "$(cut -d' ' -f1 "${out%/public}/state/$keyring") $(sed -n 's/^Version: //p' "$builddir/$release"/*.dsc) " ] ||
        fail "$release installed $(installed $keyring "$package")"
    quick_start_line
    readme 3 "$url/release" && in_clean_root apt-get update --error-on=any && in_clean_root apt-get install "$package-dbgsym" ||
        fail "the debug suite: $(cat "$log")"
    [ "$release" != "$newest" ] || return 0
    step "$release upgraded to $newest as the README says, and the plugins with it"
    sed -i "s/$release/$newest/g" "$root/etc/apt/sources.list"
    in_clean_root apt-get install "$package" "$package-dbgsym" && readme 4 "$url/release" &&
        in_clean_root apt-get update --error-on=any && in_clean_root apt-get full-upgrade -o Dpkg::Options::=--force-confold ||
        fail "the upgrade: $(tail -n 30 "$log")"
    [ "$(installed "$package" "$package-dbgsym")" = "$version $version " ] ||
        fail "the upgrade installed $(installed "$package" "$package-dbgsym")"
    quick_start_line
}
for release in "${releases[@]}"; do spawn check_repository "$release"; done

# BUILDDIR as the next version of the same programs, VERSION.1, recorded as checked.
bumped() { # FOLDER
    local new=$version.1 release deb
    cp -r "$builddir" "$1" && mv "$1/${tarball##*/}" "$1/$(tarball_name "$new")"
    for release in "${releases[@]}"; do
        rm -rf "$work/source" && dpkg-source -x "$1/$release"/*.dsc "$work/source" >/dev/null 2>&1
        sed -i "1s/($version/($new/" "$work/source/debian/changelog"
        rm "$1/$release"/*.{dsc,tar.xz,changes} && (cd "$1/$release" && dpkg-source -b "$work/source" >/dev/null)
        for info in "$1/$release"/*.buildinfo; do sed "s/$version/$new/g" "$info" >"${info/$version/$new}" && rm "$info"; done
        for deb in "$1/$release"/*.deb; do
            rm -rf "$work/deb" && dpkg-deb -R "$deb" "$work/deb" && rm "$deb"
            sed -i -E "s/^(Version: |.*\(= )${version//./\\.}/\1$new/" "$work/deb/DEBIAN/control"
            dpkg-deb -b "$work/deb" "$1/$release" >/dev/null
        done
    done
    recorded "$1"
}
# FOLDER's files listed in its manifest, recorded as checked.
recorded() { # FOLDER
    (cd "$1" && find . -type f ! -name SHA256SUMS ! -name checked -printf '%P\0' | sort -z | xargs -0 sha256sum >"$work/sums" &&
        mv "$work/sums" SHA256SUMS && sha256sum SHA256SUMS >checked)
}
# Every index that the InRelease files in PREVIOUS listed is still served in DEST by its hash,
# and every package that they listed.
still_served() { # PREVIOUS DEST
    local inrelease hash path file
    for inrelease in "$1"/*; do
        [ -e "$inrelease" ] || continue
        while read -r hash path; do
            file=$2/debian/dists/${inrelease##*/}/${path%/*}/by-hash/SHA256/$hash
            [ "$(sha256sum <"$file" | cut -d' ' -f1)" = "$hash" ] || fail "$file is not served"
            [[ $path != */Packages ]] || sed -n 's/^Filename: //p' "$file" | while read -r deb; do
                [ -f "$2/debian/$deb" ] || fail "$2/debian/$deb is not served"
            done
        done < <(awk '/^SHA256:/ { on = 1; next } /^[^ ]/ { on = 0 } on { print $1, $3 }' "$inrelease")
    done
}
# A release into REPODIR, published to DEST and checked against what DEST served before.
release_published() { # REPODIR DEST COMMAND...
    rm -rf "$work/previous" && mkdir "$work/previous"
    for dir in "$2"/debian/dists/*; do [ ! -e "$dir" ] || cp "$dir/InRelease" "$work/previous/${dir##*/}"; done
    run "${@:3}" && publish "$1" "$2" && still_served "$work/previous" "$2"
}
apt_update() { in_clean_root apt-get update --error-on=any -o Acquire::Check-Valid-Until=true; }

step "the build records and bills of materials of the release; packaging/verify rebuilds it, and finds a doctored copy out"
# Every .deb served is named, with its checksum, in a build record served and signed.
for info in "$served"/release/debian/pool/main/h/*/*.buildinfo; do
    verify "$info.asc" "$info" && sed -n '/^Checksums-Sha256:/,/^[^ ]/ s/^ \([0-9a-f]\{64\}\) [0-9]* \(.*\.deb\)$/\1  \2/p' "$info"
done | LC_ALL=C sort >"$work/recorded"
[ -z "$(comm -23 <(find "$served/release/debian/pool" -name '*.deb' -exec sha256sum {} + | by_name) "$work/recorded")" ] ||
    fail "a .deb served is in no signed build record"
# The bills of materials: signed, valid by CycloneDX's schema, with the fields PACKAGING.md lists, one
# component for each package served, with its hash.
(cd "$work" && npm pack --silent @cyclonedx/cyclonedx-library@10.3.0 >npm.log 2>&1 &&
    tar -xzf cyclonedx-cyclonedx-library-10.3.0.tgz package/res/schema) || fail "npm pack: $(cat "$work/npm.log")"
mapfile -t boms < <(find "$served/release" -name '*.cdx.json')
for bom in "${boms[@]}"; do verify "$bom.asc" "$bom"; done
/usr/bin/python3 - "$work/package/res/schema" "$given" "$served/release" "${boms[@]}" >"$work/components" <<'EOF' ||
import hashlib, json, os, subprocess, sys
from urllib.parse import urljoin
from jsonschema import Draft7Validator, RefResolver, _validators
# This jsonschema sorts the extra items of a branch that fails to name them, which fails on objects.
_validators.extras_msg = lambda extras: (", ".join(map(repr, extras)), "were")
schemas, given, served, boms = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
load = lambda name: json.load(open(f"{schemas}/{name}.SNAPSHOT.schema.json"))
schema = load("bom-1.6")
store = {urljoin(schema["$id"], f"{name}.SNAPSHOT.schema.json"): load(name) for name in ("spdx", "jsf-0.82")}
validator = Draft7Validator(schema, resolver=RefResolver.from_schema(schema, store=store), format_checker=Draft7Validator.FORMAT_CHECKER)
at = lambda url: url.startswith(given + "/") and served + url[len(given):]
for path in boms:
    bom = json.load(open(path))
    for error in validator.iter_errors(bom):
        sys.exit(f"{path}: {error.message} at {list(error.path)}")
    meta, refs = bom["metadata"], {c["bom-ref"]: c["name"] for c in bom["components"]}
    assert bom["serialNumber"] and meta["timestamp"] and meta["manufacturer"]["contact"][0]["email"] and \
        at(bom["externalReferences"][0]["url"]) == path, path
    complete = {ref for c in bom["compositions"] if c["aggregate"] == "complete" for ref in c["dependencies"]}
    needs = {d["ref"]: {refs[ref] for ref in d["dependsOn"]} for d in bom["dependencies"]}
    for c in (c for c in bom["components"] if c.get("scope") != "required"):
        links, properties = {r["type"]: at(r["url"]) for r in c["externalReferences"]}, {p["name"]: p["value"] for p in c["properties"]}
        file = links["distribution"]
        assert c["version"] and c["purl"] and c["manufacturer"]["name"] and os.path.isfile(links["source-distribution"]) and \
            c["bom-ref"] in complete and {"declared", "concluded"} <= {e["license"]["acknowledgement"] for e in c["licenses"]} and \
            c["hashes"] == [{"alg": "SHA-512", "content": hashlib.sha512(open(file, "rb").read()).hexdigest()}] and \
            properties.keys() == {f"bsi:component:{p}" for p in ("filename", "executable", "archive", "structured")} and \
            properties["bsi:component:filename"] == os.path.basename(file), c
        if c["name"] in ("halvex-plugins", "halvex-plugins-static") and file.endswith(".deb"):
            built_using = subprocess.run(["dpkg-deb", "-f", file, "Built-Using"], capture_output=True, text=True).stdout.strip()
            held = [f"{n['name']} (= {n['version']})" for n in c.get("components", [])]
            assert held == [built_using] if built_using else "libc6" in needs[c["bom-ref"]], f"{file}: {held}, {needs[c['bom-ref']]}"
        print(os.path.relpath(file, served))
EOF
    fail "the bills of materials: $(cat "$work/components")"
[ "$(sort "$work/components")" = "$(cd "$served/release" && find . -name "$package*.deb" -printf '%P\n' -o -name "$package*.rpm" \
    ! -name '*.src.rpm' -printf '%P\n' | sort)" ] || fail "the bills of materials name other packages than are served"
# packaging/verify, with the key that signs the release, rebuilds it as it is served for this
# architecture and arm64; and a copy in which one package has another program, released as a build
# machine that was taken over would release it, fails, naming that package; and names a build tool
# whose version its build record gives as other than the mirror's.
gpg --batch --import "$out/$keyring.gpg" 2>/dev/null
commit=$(git get-tar-commit-id < <(gzip -dc "$tarball"))
spawn logged "$work/verify.log" "packaging/verify $url/release" "$source_dir/packaging/verify" --commit "$commit" --arch arm64 \
    --key "$(fingerprints "$out/$keyring.gpg" | head -n 1)" "$url/release"
cp -r "$builddir" "$work/doctored" && doctored=${package}_${version}_$arch.deb && rm -rf "$work/deb" &&
    dpkg-deb -R "$work/doctored/$newest/$doctored" "$work/deb" && sed -i 's/critical/CRITICAL/g' "$work/deb$plugins/cluster_plugin" &&
    dpkg-deb -b "$work/deb" "$work/doctored/$newest/$doctored" >/dev/null &&
    sed -i 's/^ cmake (= [^)]*)/ cmake (= 0.1-1)/' "$work/doctored/$newest/${doctored%.deb}.buildinfo" && recorded "$work/doctored" &&
    ! cmp -s "$builddir/$newest/$doctored" "$work/doctored/$newest/$doctored" || fail "no doctored copy"
release_published "$work/doctored-repo" "$served/doctored" "$releaser" --key "$A" --url "$url/doctored" "$work/doctored" "$work/doctored-repo"
doctored_found() {
    ! "$source_dir/packaging/verify" --key "$A" "$url/doctored" >"$work/doctored.log" 2>&1 &&
        [ "$(grep '^DIFFERENT' "$work/doctored.log")" = "DIFFERENT: $newest $doctored" ] &&
        grep -q "^$newest $arch: the build had cmake 0.1-1, the mirror now serves .*: the comparison cannot prove the build$" "$work/doctored.log" ||
        fail "packaging/verify on a doctored copy: $(cat "$work/doctored.log")"
}
spawn doctored_found

step "a release made 45 days ago is refused as expired; once refreshed by two keys, it is taken"
root=$work/root-frozen log=$work/frozen.log && clean_root "$newest" "$root"
release_published "$work/frozen" "$served/frozen" faketime -f -45d "$releaser" --key "$A" --next-key "$B" --url "$url/frozen" \
    "$builddir" "$work/frozen"
readme 1 "$url/frozen" && ! apt_update && grep -q 'is expired' "$log" || fail "apt took an expired release: $(cat "$log")"
release_published "$work/frozen" "$served/frozen" "$releaser" --refresh --key "$A" --key "$B" "$work/frozen"
apt_update || fail "apt refused the refreshed release: $(cat "$log")"
# Each key signs every index.
signed_by() { gpgv --status-fd 1 --keyring "$work/signers.gpg" "$@" 2>/dev/null | awk '/VALIDSIG/ { print $NF }' | sort | paste -s -d' '; }
gpg --batch --export "$A" "$B" >"$work/signers.gpg" && both=$(printf '%s\n' "$A" "$B" | sort | paste -s -d' ')
[ "$(signed_by "$served/frozen/debian/dists/$newest/InRelease")" = "$both" ] &&
    [ "$(signed_by "$served/frozen/rpm/repodata/repomd.xml"{.asc,})" = "$both" ] || fail "A and B did not sign every index"

step "three releases into one REPODIR: A signs, then A with B next, then B alone; hosts follow by upgrading"
rotation=$work/rotation && bumped "$work/next"
follow() { for root in "$work"/root-{bookworm,trixie}-rotation; do apt_update && in_clean_root apt-get upgrade || fail "$root: $(cat "$log")"; done; }
release_published "$rotation" "$served/rotation" "$releaser" --key "$A" --url "$url/rotation" "$builddir" "$rotation"
for root in "$work"/root-{bookworm-rotation,trixie-rotation,trixie-late}; do
    codename=${root#*root-} && clean_root "${codename%-*}" "$root"
    readme 1 "$url/rotation" && readme 2 "$url/rotation" || fail "$root: $(cat "$log")"
done
release_published "$rotation" "$served/rotation" "$releaser" --key "$A" --next-key "$B" --url "$url/rotation" "$work/next" "$rotation"
follow
release_published "$rotation" "$served/rotation" "$releaser" --key "$B" --url "$url/rotation" "$work/next" "$rotation"
follow
for root in "$work"/root-{bookworm,trixie}-rotation; do
    [ "$(installed $keyring)" = "3 " ] && [ "$(fingerprints "$root/usr/share/keyrings/$keyring.gpg")" = "$B" ] &&
        [[ $(installed "$package") == $version.1* ]] || fail "$root has $(installed $keyring "$package")"
done
# The earlier version stays installable.
in_clean_root apt-get install --allow-downgrades "$package=$version" && [ "$(installed "$package")" = "$version " ] ||
    fail "$version could not be installed again: $(cat "$log")"
root=$work/root-trixie-late
! apt_update && grep -q -E "NO_PUBKEY ${B:24}|Missing key $B" "$log" || fail "a host that missed a keyring took a release: $(cat "$log")"
readme 6 "$url/rotation" && apt_update && [ "$(installed $keyring)" = "3 " ] || fail "the README's recovery: $(cat "$log")"

step "the RPM repositories: rpmkeys with the keys halvex-release holds, rpmlint, and dnf with the .repo it installs"
# halvex-release, installed into an empty root; rpmkeys verifies every RPM with the keys it holds.
rpm_check() { # REPOSITORY ADDRESS
    local root=$work/rpm-${1##*/} db=$work/rpmkeys-${1##*/}
    mkdir -p "$root" "$db" && rpm --root "$root" --initdb &&
        run rpm --root "$root" -i "$(find "$1/rpm" -name 'halvex-release-*.noarch.rpm' | sort -V | tail -n 1)"
    grep -q -x "baseurl=$2/rpm" "$root/etc/yum.repos.d/halvex.repo" || fail "halvex-release names another address"
    [ "$(fingerprints "$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex")" = "$(fingerprints "$1/$keyring.gpg")" ] || fail "halvex-release holds other keys"
    rpmkeys --dbpath "$db" --import "$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex" && checked=$(rpmkeys --dbpath "$db" -K "$1"/rpm/*.rpm) &&
        ! grep -v ': digests signatures OK$' <<<"$checked" || fail "rpmkeys -K: $checked"
}
rpm_check "$out" "$given" && rpm_check "$served/rotation" "$url/rotation"
rpm=$(echo "$out/rpm/$package-$version"-*."$(rpm --eval '%{_arch}')".rpm)
cp "$rpm" "$work/other.rpm" && run rpmsign --define "__gpg $(command -v gpg)" --define "_gpg_name $B" --addsign "$work/other.rpm"
! rpmkeys --dbpath "$work/rpmkeys-public" -K "$work/other.rpm" >"$work/rpmkeys.log" 2>&1 || fail "rpmkeys took a signature by another key"
echo "%_dbpath $work/rpmkeys-public" >"$work/rpmkeys-public/.rpmmacros"
# rpmlint takes one source package at a time.
rpmlint_() { # NAME FILE...
    local found && found=$(HOME=$work/rpmkeys-public rpmlint -r "$source_dir/packaging/$1.rpmlintrc" "${@:2}" 2>&1) || true
    grep -q ' 0 errors, 0 warnings' <<<"$found" || fail "rpmlint: $found"
}
rpmlint_ "$package" "$rpm" "$out/rpm/$package-$version"-*.src.rpm
rpmlint_ halvex-release "$out/rpm/halvex-release-$(cut -d' ' -f1 "${out%/public}/state/halvex-release")"-1.{noarch,src}.rpm
# dnf, with the .repo and keys that halvex-release installed, set to the copy at URL.
dnf_list() { # URL
    local root=$work/rpm-public
    dnf -y --installroot "$root" --releasever 41 --setopt "reposdir=$root/etc/yum.repos.d" --setopt "cachedir=$work/dnf-${1##*/}" \
        --setopt "halvex.baseurl=$1/rpm" --setopt "halvex.gpgkey=file://$root/etc/pki/rpm-gpg/RPM-GPG-KEY-halvex" \
        list --available "$package" >"$work/dnf.log" 2>&1
}
dnf_list "$url/release" && grep -q "^$package\.$(rpm --eval '%{_arch}') " "$work/dnf.log" || fail "dnf: $(cat "$work/dnf.log")"
! dnf_list "$url/other-key" && grep -q 'repomd.xml GPG signature verification error' "$work/dnf.log" ||
    fail "dnf took metadata signed by another key: $(cat "$work/dnf.log")"

wait_jobs
echo "release checks passed in $SECONDS s"
