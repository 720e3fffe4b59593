// Progress lines as the engine writes them, and the other forms the reader
// takes (array form, members in any order, unknown members).
#include <fmt/format.h>

#include "core/foundations/progress.hpp"
#include "fuzz_support.hpp"

void qv::fuzz::write_seeds(SeedWriter& out) {
  const Progress records[] = {
      {Stage::Manifest, 0, std::nullopt, ProgressUnit::Bytes, ""},
      {Stage::Download, 1048576, 3145728, ProgressUnit::Bytes, "objects/0123456789abcdef0123456789abcdef.qvp"},
      {Stage::Apply, 3, 7, ProgressUnit::Files, "data/\xe0\xb8\x81\"\\\n.bin"},
      {Stage::Done, 18446744073709551615u, 0, ProgressUnit::Steps, "\x01"},
  };
  int n = 0;
  for (const Progress& p : records) {
    out.add(fmt::format("record-{}", n++), std::string(kProgressTag) + serialize_progress(p));
  }
  out.add("array", std::string(kProgressTag) + R"(["Check",1,null,"Files","a"])");
  out.add("reordered", std::string(kProgressTag) +
                           R"({"detail":"\u0e01","unit":"Steps","x":[{"y":[1.5e3,true]}],"completed":2,"stage":"Validate"})");
}
