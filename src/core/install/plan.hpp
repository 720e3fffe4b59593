// The install plan: which managed files of a release must be fetched and
// installed, and which paths of its delete list must be removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct Plan {
  // Indices into the manifest's files, ascending (manifest order).
  std::vector<std::uint32_t> download;
  // Entries of the manifest's delete list, as written there, in its order
  // ("delete" in plan.json).
  std::vector<std::string> delete_;
  // Sum of `object_bytes` over `download`: the bytes to fetch.
  std::uint64_t download_bytes = 0;
  // Every present file of the right size was hashed.
  bool full_scan = false;

  // Nothing to download and nothing to delete.
  bool nothing_to_do() const { return download.empty() && delete_.empty(); }

  bool operator==(const Plan&) const = default;
};

}  // namespace qv
