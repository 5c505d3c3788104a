#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""bom_fields.py SCHEMAS GIVEN SERVED BOM...: checks each bill of materials against CycloneDX's
1.6 schema in SCHEMAS and the fields that PACKAGING.md lists, with the files served in SERVED for
the address GIVEN; prints the path of every package component, relative to SERVED."""
import hashlib
import json
import os
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


def check_component(c, complete, needs):
    links = {r["type"]: at(r["url"]) for r in c["externalReferences"]}
    properties = {p["name"]: p["value"] for p in c["properties"]}
    file = links["distribution"]
    acknowledged = {e["license"]["acknowledgement"] for e in c["licenses"]}
    assert c["version"] and c["purl"] and c["manufacturer"]["name"], c
    assert os.path.isfile(links["source-distribution"]), c
    assert c["bom-ref"] in complete and {"declared", "concluded"} <= acknowledged, c
    assert c["hashes"] == [{"alg": "SHA-512", "content": sha512(file)}], c
    assert properties.keys() == {f"bsi:component:{p}" for p in
                                 ("filename", "executable", "archive", "structured")}, c
    assert properties["bsi:component:filename"] == os.path.basename(file), c
    if c["name"] in ("halvex-plugins", "halvex-plugins-static") and file.endswith(".deb"):
        built_using = subprocess.run(["dpkg-deb", "-f", file, "Built-Using"],
                                     capture_output=True, text=True).stdout.strip()
        held = [f"{n['name']} (= {n['version']})" for n in c.get("components", [])]
        if built_using:
            assert held == [built_using], f"{file}: {held}, {needs[c['bom-ref']]}"
        else:
            assert "libc6" in needs[c["bom-ref"]], f"{file}: {held}, {needs[c['bom-ref']]}"
    return file


for path in boms:
    with open(path) as opened:
        bom = json.load(opened)
    for error in validator.iter_errors(bom):
        sys.exit(f"{path}: {error.message} at {list(error.path)}")
    meta, refs = bom["metadata"], {c["bom-ref"]: c["name"] for c in bom["components"]}
    assert bom["serialNumber"] and meta["timestamp"], path
    assert meta["manufacturer"]["contact"][0]["email"], path
    assert at(bom["externalReferences"][0]["url"]) == path, path
    complete = {ref for c in bom["compositions"] if c["aggregate"] == "complete"
                for ref in c["dependencies"]}
    needs = {d["ref"]: {refs[ref] for ref in d["dependsOn"]} for d in bom["dependencies"]}
    for component in bom["components"]:
        if component.get("scope") != "required":
            print(os.path.relpath(check_component(component, complete, needs), served))
