// Feeds arbitrary bytes to the install journal's decoder. Whatever it is
// given, it must return a journal or an error without crashing or reading out
// of bounds; a journal it accepts must come back unchanged from both written
// forms.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/install/journal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto journal = qv::decode_journal(bytes);
  if (!journal) {
    (void)journal.error().to_string();
    return 0;
  }
  for (const auto& written : {qv::journal_pretty_json(*journal), qv::journal_compact_json(*journal)}) {
    const auto again = qv::decode_journal(written);
    if (!again || *again != *journal) std::abort();
  }
  return 0;
}
