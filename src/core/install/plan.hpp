// The install plan: which managed files of a release must be fetched and
// installed, and which paths of its delete list must be removed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/manifest.hpp"
#include "platform/error.hpp"
#include "core/foundations/progress.hpp"

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

struct PlanOptions {
  // Threads that examine (and in a full check hash) files at once; 0 picks
  // two per processor, at most kMaxThreads. The plan, its progress records
  // and its errors do not depend on the number.
  unsigned threads = 0;
  static constexpr unsigned kMaxThreads = 16;
};

// Compares the release `manifest` with the client folder under the canonical
// `root` and decides what to download and what to delete.
//
// A folder, a pipe or a device at a managed file's path fails the plan with
// "replacement target is not a file: {path}" (the install could only refuse
// it after the download). A file counts as unchanged only when it is a
// regular file of the entry's size and, in a full scan, its digest equals the
// entry's; in a quick check,
// when `installed` lists the same path (compared after full lower-casing)
// with the same algorithm, digest and size: then no file content is read. A
// full scan happens when `full_check` is set or there is no installed
// manifest. A delete path is planned only when the installed manifest lists
// it and a regular file stands there: the install could not move a folder
// aside, and would fail on it after the whole download, every time.
//
// Emits one Check-stage record (unit Files) before the first entry and one
// after each entry's decision, in manifest order, on the caller's thread,
// whatever the number of threads. Fails with the first error in manifest
// order (path resolution, hashing, "size overflow"); no partial plan is
// returned and no record follows the failing entry (files already being
// hashed on other threads are finished first, none after it is started).
// Beside the plan it uses one byte per entry, an index of the installed
// entries of eight bytes per slot, and one read buffer per thread; every
// thread has ended when this returns. The caller must hold the client lock.
Result<Plan> build_plan(const std::filesystem::path& root, const Manifest& manifest,
                        const std::optional<Manifest>& installed, bool full_check, const LineSink& sink,
                        const PlanOptions& options = {});

// The sum of the installed sizes (`bytes`) of the listed entries of `files`;
// every index must be below files.size(). Saturates at the largest unsigned
// 64-bit number rather than wrapping, so a need computed from it can only be
// too large, never too small.
std::uint64_t sum_file_bytes(std::span<const std::uint32_t> indices, const std::vector<FileEntry>& files);

// The bytes of plan.json: the four fields in order, two-space indentation,
// one array element per line, "[]" for an empty array, no final line break.
// Cannot fail.
std::string write_plan_json(const Plan& plan);

}  // namespace qv
