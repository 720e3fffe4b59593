#include "core/install/plan.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include <fmt/format.h>

#include "core/foundations/json.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/installed_index.hpp"
#include "core/install/ordered_pool.hpp"
#include "platform/fs.hpp"
#include "platform/sequential_read.hpp"

namespace qv {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSizeOverflow = "size overflow";
constexpr std::string_view kNotAFile = "replacement target is not a file: {}";

unsigned thread_count(const PlanOptions& options) {
  if (options.threads != 0) return options.threads;
  // Two per processor: a thread waiting in a metadata call or on a read
  // leaves its processor to the next one (measured: 7 threads on 8
  // processors hash a warm client at two thirds of the speed of 16).
  return std::clamp(2 * std::thread::hardware_concurrency(), 1u, PlanOptions::kMaxThreads);
}

// What each scanning thread keeps between entries; the path cache is made
// on the thread's first entry.
struct ScanScratch {
  ReadBuffer buffer;
  std::optional<PhysicalPathCache> paths;
  std::string key;
  std::string other_key;
};

// Decides the manifest's files. Each entry is examined on one of the scan's
// threads; decisions, progress records and errors are taken strictly in
// manifest order, so the outcome is that of one thread doing everything in
// turn.
class FileScan {
 public:
  FileScan(const fs::path& root, const Manifest& manifest, const InstalledIndex& installed, bool full_scan,
           const LineSink& sink, unsigned threads)
      : root_(root),
        manifest_(manifest),
        installed_(installed),
        full_scan_(full_scan),
        sink_(sink),
        threads_(threads) {}

  Status run(Plan& plan) {
    const auto count = static_cast<std::uint32_t>(manifest_.files.size());
    OrderedScan<ScanScratch> scan(threads_, count, [this](std::uint32_t index, ScanScratch& scratch) {
      return needs_download(index, scratch);
    });
    for (std::uint32_t i = 0; i < count; ++i) QV_TRY(decide(plan, i, scan.take()));
    return {};
  }

 private:
  // Whether the entry must be downloaded. Called on several threads at once:
  // reads only the shared inputs and the file system.
  Result<bool> needs_download(std::uint32_t index, ScanScratch& scratch) const {
    // An exception escaping a scanning thread would end the process; a
    // failed allocation ends only this check.
    try {
      const FileEntry& entry = manifest_.files[index];
      if (!scratch.paths) scratch.paths.emplace(root_);
      const auto info = QV_TRY(scratch.paths->examine(entry.path));
      // Only a regular file can be vouched for or hashed (hashing a pipe or
      // a device could block forever or never end), and only a file can be
      // moved aside for the new one: a folder, a pipe or a device at a
      // file's path is the player's, and is refused now rather than after
      // the whole download, on every attempt. Nothing there plans the
      // download.
      if (!info) return true;
      if (info->kind != platform::FileKind::Regular) {
        return fail(fmt::format(fmt::runtime(kNotAFile), (root_ / entry.path).string()));
      }
      if (info->size != entry.bytes) return true;
      if (full_scan_) return QV_TRY(hash_client_file(entry, scratch)) != entry.digest;
      lower_key(entry.path, scratch.key);
      const FileEntry* known = installed_.find(scratch.key, scratch.other_key);
      return known == nullptr || known->algorithm != entry.algorithm || known->digest != entry.digest ||
             known->bytes != entry.bytes;
    } catch (const std::bad_alloc&) {
      return fail(Error::out_of_memory());
    }
  }

  static Result<std::string> hash_client_file(const FileEntry& entry, ScanScratch& scratch) {
    const auto buffer = scratch.buffer.get();
    const platform::UniqueFd fd = QV_TRY(scratch.paths->open_for_reading(entry.path));
    // Read-ahead matters only for a file that takes more than one read.
    if (entry.bytes >= buffer.size()) platform::advise_sequential(fd.get());
    return hash_open_file(fd.get(), entry.algorithm, buffer);
  }

  Status decide(Plan& plan, std::uint32_t index, const Result<bool>& download) {
    if (!download) return fail(download.error());
    const FileEntry& entry = manifest_.files[index];
    if (*download) {
      if (plan.download_bytes > std::numeric_limits<std::uint64_t>::max() - entry.object_bytes) {
        return fail(std::string(kSizeOverflow));
      }
      plan.download.push_back(index);
      plan.download_bytes += entry.object_bytes;
    }
    emit_progress_with_total(sink_, Stage::Check, index + std::uint64_t{1}, manifest_.files.size(),
                             ProgressUnit::Files, entry.path);
    return {};
  }

  const fs::path& root_;
  const Manifest& manifest_;
  const InstalledIndex& installed_;
  const bool full_scan_;
  const LineSink& sink_;
  const unsigned threads_;
};

Result<std::vector<std::string>> plan_deletions(const fs::path& root, const Manifest& manifest,
                                                const InstalledIndex& installed) {
  std::vector<std::string> planned;
  if (installed.empty()) return planned;
  std::string key;
  std::string scratch;
  for (const std::string& path : manifest.delete_) {
    lower_key(path, key);
    if (installed.find(key, scratch) == nullptr) continue;
    const fs::path physical = QV_TRY(resolve_physical_path(root, path));
    // Only a file is removed: the install moves a delete target into the
    // backup as a file, and would refuse a folder there only after the whole
    // download, on every attempt.
    auto info = platform::stat_path(physical);
    if (info && info->kind == platform::FileKind::Regular) planned.push_back(path);
  }
  return planned;
}

void append_array(std::string& out, std::string_view key, std::size_t size,
                  const std::function<void(std::string&, std::size_t)>& append_element) {
  out += "  ";
  json::append_quoted(out, key);
  out += ": [";
  for (std::size_t i = 0; i < size; ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    append_element(out, i);
  }
  out += size == 0 ? "],\n" : "\n  ],\n";
}

}  // namespace

Result<Plan> build_plan(const fs::path& root, const Manifest& manifest, const std::optional<Manifest>& installed,
                        bool full_check, const LineSink& sink, const PlanOptions& options) {
  const std::uint64_t total = manifest.files.size();
  emit_progress_with_total(sink, Stage::Check, 0, total, ProgressUnit::Files, "");

  const InstalledIndex index(installed);
  Plan plan;
  plan.full_scan = full_check || !installed.has_value();
  {
    FileScan scan(root, manifest, index, plan.full_scan, sink, thread_count(options));
    QV_TRY(scan.run(plan));
  }
  plan.delete_ = QV_TRY(plan_deletions(root, manifest, index));
  return plan;
}

std::uint64_t sum_file_bytes(std::span<const std::uint32_t> indices, const std::vector<FileEntry>& files) {
  std::uint64_t sum = 0;
  for (std::uint32_t i : indices) {
    const std::uint64_t bytes = files[i].bytes;
    sum = bytes > std::numeric_limits<std::uint64_t>::max() - sum ? std::numeric_limits<std::uint64_t>::max()
                                                                  : sum + bytes;
  }
  return sum;
}

std::string write_plan_json(const Plan& plan) {
  std::string out = "{\n";
  append_array(out, "download", plan.download.size(),
               [&](std::string& o, std::size_t i) { o += fmt::format("{}", plan.download[i]); });
  append_array(out, "delete", plan.delete_.size(),
               [&](std::string& o, std::size_t i) { json::append_quoted(o, plan.delete_[i]); });
  out += fmt::format("  \"download_bytes\": {},\n  \"full_scan\": {}\n}}", plan.download_bytes, plan.full_scan);
  return out;
}

}  // namespace qv
