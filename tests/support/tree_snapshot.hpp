// What a folder tree holds, as a value two trees can be compared by: every
// regular file with its permission bits and SHA-256, every link with its
// target and, on request, every folder. Used to prove that a client folder
// is byte for byte what it was, or what a release makes it.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qv::test {

// Relative path ("/"-separated) -> "file {mode} {sha256}", "link {target}" or
// "folder".
using TreeSnapshot = std::map<std::string, std::string>;

struct SnapshotOptions {
  bool folders = false;                // list folders too (empty ones are otherwise invisible)
  std::vector<std::string> skip = {};  // relative paths left out with everything below them
};

// The entry a regular file with permission bits `mode` and bytes `content`
// has in a snapshot.
std::string snapshot_file_entry(unsigned mode, std::string_view content);

// Walks `root` without following links. A missing root is an empty tree.
// Failures throw std::runtime_error: this is test code.
TreeSnapshot snapshot_tree(const std::filesystem::path& root, const SnapshotOptions& options = {});

}  // namespace qv::test
