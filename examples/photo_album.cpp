// SPDX-License-Identifier: MIT
// A small program that fills a workspace: it opens an index file (one made
// by Python's _vorla.init_workspace, say), adds a photo album with two
// photos, their data files and a thumbnail each, and saves.
//
//   photo_album INDEX
//
// Run it, then look at the result with `vorla show INDEX` and
// `vorla check INDEX`.

#include <sys/stat.h>  // mkdir

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "workspace/workspace.h"

namespace {

// newFile only names a data file; the caller writes it.
void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Bytes that stand in for an image of the given size.
std::string fakeImage(unsigned width, unsigned height, char shade) {
  return "P5 " + std::to_string(width) + " " + std::to_string(height) +
         " 255\n" +
         std::string(static_cast<std::size_t>(width) * height, shade);
}

std::shared_ptr<vorla::StructConfig> addPhoto(vorla::StructConfig& album,
                                              const std::string& item,
                                              const std::string& caption,
                                              unsigned width, unsigned height,
                                              char shade) {
  std::shared_ptr<vorla::StructConfig> photo = album.newChildStruct(item);
  photo->setType("photo");
  photo->addStr("caption", caption);
  photo->addUInt64("width", width);
  photo->addUInt64("height", height);
  writeFile(photo->newFile("pixels"), fakeImage(width, height, shade));

  std::shared_ptr<vorla::StructConfig> thumb = photo->newChildStruct("thumb");
  thumb->setType("thumbnail");
  thumb->addUInt64("width", width / 8);
  thumb->addUInt64("height", height / 8);
  writeFile(thumb->newFile("pixels"), fakeImage(width / 8, height / 8, shade));
  return photo;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: photo_album INDEX\n");
    return 2;
  }
  const std::string index = argv[1];
  try {
    vorla::SpaceMan ws;
    ws.load(index);
    // The library creates no directory, and a workspace made by
    // init_workspace has none yet.
    if (mkdir(ws.getDatadir().c_str(), 0777) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create " + ws.getDatadir());
    }

    std::shared_ptr<vorla::StructConfig> album = ws.newStruct();
    album->setType("album");
    album->addStr("title", "Summer at the lake");
    album->addUInt64("year", 2024);
    writeFile(album->newFile("notes"), "Two photos from the north shore.\n");
    addPhoto(*album, "photo1", "Boats at dawn", 640, 480, 'a');
    std::shared_ptr<vorla::StructConfig> second =
        addPhoto(*album, "photo2", "The old pier", 480, 640, 'b');
    // A second reference to the same record: the album's cover is one of
    // its photos, counted once more, not copied.
    album->addIntChild("cover", second);

    // Scratch work that is not meant to stay: a temporary record is swept,
    // with its data file, when the workspace is saved.
    std::shared_ptr<vorla::StructConfig> scratch = ws.newTempStruct();
    scratch->setType("scratch");
    writeFile(scratch->newFile("preview"), fakeImage(64, 48, 'c'));

    ws.save();
    std::printf("album %u added to %s\n", album->getId(), index.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "photo_album: %s: %s\n", index.c_str(), e.what());
    return 1;
  }
  return 0;
}
