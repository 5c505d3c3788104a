#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""bom_fields.py SCHEMAS GIVEN SERVED BOM...: checks each bill of materials against CycloneDX's
1.6 schema in SCHEMAS and the fields that PACKAGING.md lists, with the files served in SERVED for
the address GIVEN; prints the path of every package component, relative to SERVED."""
import hashlib
import json
import os
import re
import subprocess
import sys
from urllib.parse import urljoin

from jsonschema import Draft7Validator, RefResolver, _validators

# This jsonschema sorts the extra items of a branch that fails to name them, which fails on
# objects.
_validators.extras_msg = lambda extras: (", ".join(map(repr, extras)), "were")
schemas, given, served, boms = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]


def load(name):
    with open(f"{schemas}/{name}.SNAPSHOT.schema.json") as file:
        return json.load(file)


schema = load("bom-1.6")
store = {urljoin(schema["$id"], f"{name}.SNAPSHOT.schema.json"): load(name)
         for name in ("spdx", "jsf-0.82")}
validator = Draft7Validator(schema, resolver=RefResolver.from_schema(schema, store=store),
                            format_checker=Draft7Validator.FORMAT_CHECKER)


def at(url):
    """The served file at URL, an address of the release."""
    return url.startswith(given + "/") and served + url[len(given):]


def sha512(path):
    with open(path, "rb") as file:
        return hashlib.sha512(file.read()).hexdigest()


VALUES = {
    "executable": {"executable", "non-executable"},
    "archive": {"archive", "no archive"},
    "structured": {"structured", "unstructured"},
}


def check_fields(c, needs):
    """The fields that the guideline requires of every component that is a file."""
    properties = {p["name"]: p["value"] for p in c["properties"]}
    assert c["name"] and c["version"] and c["purl"], c
    maker = c["manufacturer"]
    assert maker["name"] and (maker.get("url") or maker["contact"][0]["email"]), c
    assert properties.keys() == {f"bsi:component:{p}" for p in
                                 ("filename", "executable", "archive", "structured",
                                  "effectiveLicence")}, c
    for name, allowed in VALUES.items():
        assert properties[f"bsi:component:{name}"] in allowed, c
    assert properties["bsi:component:effectiveLicence"], c
    assert [e.get("acknowledgement") or e["license"]["acknowledgement"]
            for e in c["licenses"]] == ["declared"], c
    assert len(c["hashes"]) == 1 and c["hashes"][0]["alg"] == "SHA-512", c
    assert len(c["hashes"][0]["content"]) == 128, c
    assert c["bom-ref"] in needs, f"{c['bom-ref']} has no entry in dependencies"
    return properties


def check_package(c, complete, needs):
    links = {r["type"]: r for r in c["externalReferences"]}
    file = at(links["distribution"]["url"])
    properties = check_fields(c, needs)
    assert os.path.isfile(at(links["source-distribution"]["url"])), c
    assert c["bom-ref"] in complete, c
    assert c["hashes"] == links["distribution"]["hashes"] == [
        {"alg": "SHA-512", "content": sha512(file)}], c
    assert properties["bsi:component:filename"] == os.path.basename(file), c
    if c["name"] in ("halvex-plugins", "halvex-plugins-static") and file.endswith(".deb"):
        check_held(c, file, needs)
    return file


def check_held(c, file, needs):
    """The static package holds what its link took, by the build's record beside it; the
    dynamic package needs the C library."""
    built_using = subprocess.run(["dpkg-deb", "-f", file, "Built-Using"],
                                 capture_output=True, text=True).stdout.strip()
    held = c.get("components", [])
    if not built_using:
        assert not held and "libc6" in needs[c["bom-ref"]], f"{file}: {needs[c['bom-ref']]}"
        return
    record = re.sub(r"/[a-z0-9-]+_([^_]+)_(\w+)\.deb$", r"/halvex-plugins_\1_\2.linked", file)
    with open(record) as opened:
        linked = {(f, digest, package, version) for _, f, digest, package, version, *_ in
                  (line.split(" ") for line in opened.read().splitlines())}
    assert {(h["description"].split(",")[0], h["hashes"][0]["content"], h["name"], h["version"])
            for h in held} == linked, f"{file}: {held}"
    sources = {h["description"].split(" built from ")[1] for h in held}
    assert built_using.replace(" (= ", " ").rstrip(")") in sources, f"{file}: {sources}"
    assert any(re.fullmatch(r"gcc-\d+(-cross)? .*", s) for s in sources), f"{file}: {sources}"
    for h in held:
        check_fields(h, needs)
        assert {h["name"] for h in held} <= needs[c["bom-ref"]], c


def check_external(c, needs):
    """A library that a package needs installed: not a file of ours."""
    assert c["name"] and c["purl"] and c["description"].startswith("any version"), c
    assert "hashes" not in c and "properties" not in c and "version" not in c, c


for path in boms:
    with open(path) as opened:
        bom = json.load(opened)
    for error in validator.iter_errors(bom):
        sys.exit(f"{path}: {error.message} at {list(error.path)}")
    meta = bom["metadata"]
    nested = [h for c in bom["components"] for h in c.get("components", [])]
    refs = {c["bom-ref"]: c["name"] for c in bom["components"] + nested}
    assert bom["serialNumber"] and meta["timestamp"], path
    assert meta["manufacturer"]["contact"][0]["email"], path
    assert meta["component"]["name"] and meta["component"]["version"], path
    assert at(bom["externalReferences"][0]["url"]) == path, path
    complete = {ref for c in bom["compositions"] if c["aggregate"] == "complete"
                for ref in c["assemblies"]}
    needs = {d["ref"]: {refs.get(ref, ref) for ref in d["dependsOn"]}
             for d in bom["dependencies"]}
    packages = [c for c in bom["components"] if c.get("scope") != "required"]
    assert needs[meta["component"]["bom-ref"]] == {c["name"] for c in packages}, path
    for component in bom["components"]:
        if component.get("scope") == "required":
            check_external(component, needs)
        else:
            print(os.path.relpath(check_package(component, complete, needs), served))
    debug = {c["name"]: needs[c["bom-ref"]] for c in packages}
    for name, wanted in debug.items():
        if name.endswith("-dbgsym"):
            assert name[:-len("-dbgsym")] in wanted, f"{path}: {name} needs {wanted}"
        if name.endswith("-debuginfo"):
            assert name.replace("debuginfo", "debugsource") in wanted, f"{path}: {name}"
