# SPDX-License-Identifier: MIT
"""The JSON schemas of the tool's output, as docs/schemas/ holds them.

docs/schemas/NAME.json is the schema of a command's --json document (NAME
is the command), or of the document that a failure prints ("error"). The
tests validate the tool's real output against these very files, the ones
docs/tool.md and every --help point to, so the documentation cannot drift
from the program.
"""

import json
import os

import jsonschema


def schema_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "docs", "schemas")


def schemas():
    """Every schema in docs/schemas/, by name."""
    found = {}
    for entry in sorted(os.listdir(schema_dir())):
        if not entry.endswith(".json"):
            continue
        with open(os.path.join(schema_dir(), entry), encoding="utf-8") as f:
            schema = json.load(f)
        jsonschema.Draft7Validator.check_schema(schema)
        found[entry[:-len(".json")]] = schema
    return found


def validate(name, document):
    """Raises jsonschema.ValidationError unless `document` (already parsed)
    fits the schema `name`."""
    jsonschema.validate(document, schemas()[name])
