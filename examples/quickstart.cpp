// The README's C++ example: adds an album record to a workspace (one made
// by `vorla init album.ini`, say) and saves it. The tests build and run
// this file and check that the README shows it as it is.
//
//   quickstart   (in the folder of album.ini)

#include "workspace/workspace.h"  // <vorla/workspace/workspace.h> installed

int main() {
  vorla::SpaceMan ws;
  ws.load("album.ini");
  std::shared_ptr<vorla::StructConfig> album = ws.newStruct();
  album->setType("album");
  album->addStr("title", "Summer at the lake");
  ws.save();  // album.ini now holds record 2, the album
}
