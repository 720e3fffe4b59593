// Progress lines: "@QV_PROGRESS " and a record in either JSON form. A line that
// parses must survive being written again as the record's compact JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundations/progress.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = qv::fuzz::as_text(data, size);
  // Both the line as given and the line with the tag in front, so that every
  // mutation reaches the JSON reader.
  for (const std::string& line : {std::string(input), std::string(qv::kProgressTag) + std::string(input)}) {
    auto progress = qv::parse_progress_line(line);
    if (!progress) continue;
    const std::string again = std::string(qv::kProgressTag) + qv::serialize_progress(*progress);
    auto reread = qv::parse_progress_line(again);
    qv::fuzz::fuzz_check(reread.has_value(), "a progress record written again does not parse", again);
    qv::fuzz::fuzz_check(*reread == *progress, "a progress record written again reads differently", again);
  }
  return 0;
}
