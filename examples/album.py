#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Fills a workspace from Python, as examples/photo_album does from C++: it
opens an index file (one made by `vorla init`, say), adds a photo album with
two photos, their data files and a thumbnail each, and saves.

    album.py INDEX

`vorla show INDEX` then prints the same tree for both programs, ids and
the random parts of data file names aside.
"""

import sys

import vorla


def fake_image(width: int, height: int, shade: bytes) -> bytes:
    """Bytes that stand in for an image of the given size."""
    return b"P5 %d %d 255\n" % (width, height) + shade * (width * height)


def add_photo(album: vorla.Record, item: str, caption: str, width: int,
              height: int, shade: bytes) -> vorla.Record:
    photo = album.new_child(item, "photo")
    photo["caption"] = caption
    photo["width"] = width
    photo["height"] = height
    # new_file only names a data file; the caller writes it.
    photo.new_file("pixels").write_bytes(fake_image(width, height, shade))

    thumb = photo.new_child("thumb", "thumbnail")
    thumb["width"] = width // 8
    thumb["height"] = height // 8
    thumb.new_file("pixels").write_bytes(
        fake_image(width // 8, height // 8, shade))
    return photo


def main(index: str) -> None:
    with vorla.Workspace(index) as ws, ws.transaction():
        # The library creates no directory, and an index file made by
        # _vorla.init_workspace has none yet.
        data_dir = ws.data_dir
        assert data_dir is not None  # a loaded workspace has one
        data_dir.mkdir(exist_ok=True)

        album = ws.new_record("album")
        album["title"] = "Summer at the lake"
        album["year"] = 2024
        album.new_file("notes").write_text("Two photos from the north shore.\n")
        add_photo(album, "photo1", "Boats at dawn", 640, 480, b"a")
        second = add_photo(album, "photo2", "The old pier", 480, 640, b"b")
        # A second reference to the same record: the album's cover is one of
        # its photos, counted once more, not copied.
        album.link("cover", second)

        # Scratch work that is not meant to stay: a temporary record is
        # swept, with its data file, when the workspace is saved (here, as
        # the transaction ends without an exception; one would drop the
        # album and its data files too).
        scratch = ws.new_temp_record("scratch")
        scratch.new_file("preview").write_bytes(fake_image(64, 48, b"c"))
        # Typed reads give what type checkers know: an int, a Record, a str.
        cover = album.get_record("cover").get_str("caption")
        print("album %d of %d (cover: %s) added to %s" % (
            album.id, album.get_int("year"), cover, index))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: album.py INDEX")
    try:
        main(sys.argv[1])
    except (vorla.Error, OSError) as e:
        sys.exit("album.py: %s: %s" % (sys.argv[1], e))
