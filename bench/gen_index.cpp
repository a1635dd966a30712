// SPDX-License-Identifier: MIT
// Writes a synthetic workspace index file for the load/save benchmarks.
//
//   bench_gen_index RECORDS OUTPUT [SEED]
//
// Records get ids 2 .. RECORDS+1, as a workspace that made them one after
// another from a fresh start would. Each holds a number, a short sentence and
// a data file name; every record with an even id also holds a child item
// naming the next record, which is then a dependent record (external count
// 0, internal count 1). Section 0 is a complete system record.
//
// The output is exactly what vorla's save writes for that content (items in
// byte-wise name order, " = " separators, an empty line after each section),
// so a load followed by a save reproduces it byte for byte. It also stays
// within what the peer readers accept: section names and keys within a
// section are unique, and no value is empty or starts a comment.
//
// The content depends on RECORDS and SEED only: the generator draws raw
// 64-bit numbers from std::mt19937_64, whose sequence the standard fixes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

const char* const word_list[] = {
    "the",     "a",      "old",     "new",    "blue",   "red",    "quiet",
    "bright",  "door",   "window",  "garden", "river",  "bridge", "street",
    "light",   "shadow", "tree",    "stone",  "path",   "field",  "morning",
    "evening", "seen",   "taken",   "near",   "behind", "under",  "over",
    "north",   "south",  "harbour", "market", "roof",   "wall",   "lamp",
    "cloud",   "rain",   "snow",    "summer", "winter", "left",   "right",
    "corner",  "house",  "yard",    "gate",   "hill",   "valley", "shore",
    "boat",    "train",  "station", "tower",  "clock",  "square", "child",
    "dog",     "cat",    "bird",    "from",   "at",     "by",     "with",
    "scan"};
const std::size_t word_count = sizeof(word_list) / sizeof(word_list[0]);

const char* const type_names[] = {"image", "scan", "frame", "note"};

class Source {
 public:
  explicit Source(uint64_t seed) : engine(seed) {}
  uint64_t next() { return engine(); }
  // A number below `bound` (> 0); the slight bias does not matter here.
  uint64_t below(uint64_t bound) { return engine() % bound; }

 private:
  std::mt19937_64 engine;
};

void append_number(std::string& out, uint64_t n) {
  char buf[24];
  int len = std::snprintf(buf, sizeof(buf), "%llu",
                          static_cast<unsigned long long>(n));
  out.append(buf, static_cast<std::size_t>(len));
}

// A short sentence of three to seven words, the first one capitalised.
void append_sentence(std::string& out, Source& src) {
  std::size_t words = 3 + src.below(5);
  for (std::size_t i = 0; i < words; ++i) {
    if (i > 0) out += ' ';
    std::string word = word_list[src.below(word_count)];
    if (i == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    out += word;
  }
}

// A count, a size or an offset: mostly small numbers, some large ones.
uint64_t draw_number(Source& src) {
  switch (src.below(4)) {
    case 0:
      return src.below(1000);
    case 1:
      return src.below(1000000);
    case 2:
      return src.below(10000000000ULL);
    default:
      return src.next();
  }
}

void append_record(std::string& out, unsigned id, unsigned last, Source& src) {
  bool has_child = id % 2 == 0 && id < last;
  bool is_child = id % 2 == 1 && id > 2;
  out += '[';
  append_number(out, id);
  out += "]\ncount_uint64 = ";
  append_number(out, draw_number(src));
  out += "\nlabel_str = ";
  append_sentence(out, src);
  // A stored data file name as the workspace draws it: prefix, id, two
  // underscores, a draw of 0 .. 2^31-1, a closing underscore.
  out += "\npayload_file = payload_";
  append_number(out, id);
  out += "__";
  append_number(out, src.below(2147483648ULL));
  out += "_\n";
  if (has_child) {
    out += "thumb_child = ";
    append_number(out, id + 1);
    out += '\n';
  }
  out += is_child ? "extrefcount_sys = 0\nintrefcount_sys = 1\n"
                  : "extrefcount_sys = 1\nintrefcount_sys = 0\n";
  out += "structtype_sys = ";
  out += is_child ? "thumbnail" : type_names[src.below(4)];
  out += "\n\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s RECORDS OUTPUT [SEED]\n", argv[0]);
    return 1;
  }
  char* end = nullptr;
  unsigned long records = std::strtoul(argv[1], &end, 10);
  if (*end != '\0' || records > 2000000000UL) {
    std::fprintf(stderr, "bad record count\n");
    return 1;
  }
  uint64_t seed = 1;
  if (argc == 4) seed = std::strtoull(argv[3], nullptr, 10);

  Source src(seed);
  unsigned last = static_cast<unsigned>(records) + 1;
  std::string out;
  out.reserve(records * 200 + 256);
  out += "[0]\n$current_counter_uint64 = ";
  append_number(out, last);
  out +=
      "\n$reldatadir_str = data\n$version_str = 2.1\n"
      "extrefcount_sys = 1000\nintrefcount_sys = 0\n"
      "structtype_sys = system_record\n\n";
  for (unsigned id = 2; id <= last; ++id) append_record(out, id, last, src);

  std::FILE* f = std::fopen(argv[2], "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
