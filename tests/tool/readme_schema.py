"""The JSON schemas of the tool's output, as the README documents them.

The README gives each schema as a fenced ```json block right after a line
"<!-- schema: NAME -->" (NAME is a command, or "error" for the document
that a failure prints with --json). The tests validate the tool's real
output against these very blocks, so the documentation cannot drift from
the program.
"""

import json
import os
import re

import jsonschema

_BLOCK = re.compile(r"<!-- schema: ([a-z-]+) -->\s*```json\n(.*?)```", re.S)


def readme_path():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(here, "..", "..", "README.md")


def schemas():
    """Every schema in the README, by name."""
    with open(readme_path(), encoding="utf-8") as f:
        text = f.read()
    found = {}
    for name, body in _BLOCK.findall(text):
        schema = json.loads(body)
        jsonschema.Draft7Validator.check_schema(schema)
        found[name] = schema
    return found


def validate(name, document):
    """Raises jsonschema.ValidationError unless `document` (already parsed)
    fits the README's schema `name`."""
    jsonschema.validate(document, schemas()[name])
