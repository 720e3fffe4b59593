#include "platform/process_scan.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <string_view>

#include "platform/fs.hpp"

namespace qv::platform {
namespace {

constexpr std::string_view kDeletedMark = " (deleted)";

std::string proc_path(std::uint32_t pid, std::string_view leaf) {
  std::string path = "/proc/";
  path += std::to_string(pid);
  path += '/';
  path += leaf;
  return path;
}

Result<std::string> read_link(const std::string& path) {
  std::string buffer(512, '\0');
  for (;;) {
    ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return fail_os(errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    if (buffer.size() >= (std::size_t{1} << 16)) return fail_os(ENAMETOOLONG);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

Result<std::vector<std::uint32_t>> list_process_ids() {
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir("/proc"));
  if (!dir) return fail_os(errno);
  std::vector<std::uint32_t> ids;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return fail_os(errno);
      break;
    }
    std::string_view name = entry->d_name;
    std::uint32_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size() || pid == 0) continue;
    ids.push_back(pid);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

ProcessNames process_names(std::uint32_t pid) {
  ProcessNames names;
  if (auto image = read_process_image(pid)) names.exe_name = image->path.filename().string();
  // The command name is at most 15 bytes and ends in a newline.
  if (auto comm = read_small_file(proc_path(pid, "comm"), 64)) {
    names.command = std::move(*comm);
    if (!names.command.empty() && names.command.back() == '\n') names.command.pop_back();
  }
  return names;
}

Result<ProcessImage> read_process_image(std::uint32_t pid) {
  std::string target = QV_TRY(read_link(proc_path(pid, "exe")));
  ProcessImage image;
  // A file may really be named "... (deleted)": the mark is taken off only
  // when no file of the marked name exists.
  if (target.ends_with(kDeletedMark)) {
    auto marked = lstat_path(target);
    if (!marked && marked.error().is_not_found()) {
      target.resize(target.size() - kDeletedMark.size());
      image.deleted = true;
    }
  }
  image.path = std::move(target);
  return image;
}

}  // namespace qv::platform
