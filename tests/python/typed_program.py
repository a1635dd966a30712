# SPDX-License-Identifier: MIT
"""A small program that uses the package vorla as its stubs describe it.
The typing test checks it with mypy --strict, then runs it:

    typed_program.py SCRATCH_DIR
"""

import json
import pathlib
import sys
from typing import Dict, List, Optional

import vorla


def catalogue(folder: pathlib.Path) -> Dict[str, int]:
    sizes: Dict[str, int] = {}
    with vorla.Workspace.create(folder / "cat.ini") as ws:
        with ws.transaction():
            photo = ws.new_record("photo")
            photo["caption"] = "pier"
            photo["width"] = 640
            pixels: pathlib.Path = photo.new_file("pixels")
            pixels.write_bytes(b"P5")
            thumb: vorla.Record = photo.new_child("thumb", "thumbnail")
            thumb.update({"width": 80}, height=60)
        for rec in ws.records():
            width: int = rec.get_int("width")
            caption: Optional[object] = rec.get("caption", None)
            sizes[str(caption)] = width
            if "pixels" in rec:
                sizes["bytes"] = len(rec.get_path("pixels").read_bytes())
        names: List[str] = sorted(ws[photo.id].keys() & {"width", "zz"})
        assert names == ["width"], names
        assert photo.get_record("thumb").get_int("height") == 60
        assert photo.get_bytes("caption") == b"pier"
        json.dumps(ws.to_dict())
        try:
            ws.copy_from(ws, 0)
        except vorla.Error as e:
            assert e.code == "system_record", e
    return sizes


if __name__ == "__main__":
    print(catalogue(pathlib.Path(sys.argv[1])))
