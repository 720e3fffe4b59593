#include "platform/process_scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "platform/fs.hpp"

namespace qv::platform {
namespace {

constexpr std::string_view kDeletedMark = " (deleted)";
// The kernel marks a thread that runs no program of its own (PF_KTHREAD).
constexpr unsigned long kKernelThreadFlag = 0x00200000;
// /proc text lines hold at most a path of PATH_MAX bytes and a few numbers;
// a longer line is not one of the kernel's.
constexpr std::size_t kLineBuffer = 64 * 1024;

std::string proc_dir(std::uint32_t pid) { return "/proc/" + std::to_string(pid); }

std::string proc_path(std::uint32_t pid, std::string_view leaf) {
  std::string path = proc_dir(pid);
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

// Calls `visit` with every record of a /proc file that ends in `separator`
// (without the separator), read in one bounded buffer. A record longer than
// the buffer is passed over.
Status for_each_record(const std::string& path, char separator, const std::function<void(std::string_view)>& visit) {
  auto fd = QV_TRY(open_fd(path, O_RDONLY));
  std::vector<char> buffer(kLineBuffer);
  std::size_t held = 0;
  bool skipping = false;
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data() + held, buffer.size() - held);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_os(errno);
    }
    if (n == 0) break;
    held += static_cast<std::size_t>(n);
    std::size_t start = 0;
    for (std::size_t i = 0; i < held; ++i) {
      if (buffer[i] != separator) continue;
      if (!skipping) visit(std::string_view(buffer.data() + start, i - start));
      skipping = false;
      start = i + 1;
    }
    if (start == 0 && held == buffer.size()) {
      skipping = true;
      held = 0;
      continue;
    }
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(start), buffer.begin() + static_cast<std::ptrdiff_t>(held),
              buffer.begin());
    held -= start;
  }
  if (held > 0 && !skipping) visit(std::string_view(buffer.data(), held));
  return {};
}

// Every line of a /proc text file, without its line feed.
Status for_each_line(const std::string& path, const std::function<void(std::string_view)>& visit) {
  return for_each_record(path, '\n', visit);
}

// Calls `visit` with the open folder and the name of each of its entries.
// Fails with the operating-system error of opening or reading the folder.
Status for_each_entry(const std::string& path, const std::function<void(int, std::string_view)>& visit) {
  struct CloseDir {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir(path.c_str()));
  if (!dir) return fail_os(errno);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return fail_os(errno);
      return {};
    }
    visit(::dirfd(dir.get()), entry->d_name);
  }
}

// The state letter and the flags of /proc/.../stat. The command name in
// parentheses may hold blanks and parentheses itself, so the fields are
// counted from the last ')'.
struct TaskStat {
  char state = '?';
  unsigned long flags = 0;
};

Result<TaskStat> read_task_stat(const std::string& dir) {
  const std::string text = QV_TRY(read_small_file(dir + "/stat", 4096));
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return fail_os(EINVAL);
  std::string_view rest = std::string_view(text).substr(close + 1);
  // Fields after the name: state, ppid, pgrp, session, tty_nr, tpgid, flags.
  std::string_view fields[7];
  for (auto& field : fields) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return fail_os(EINVAL);
    rest.remove_prefix(begin);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    field = rest.substr(0, end);
    rest.remove_prefix(end);
  }
  TaskStat stat;
  stat.state = fields[0].empty() ? '?' : fields[0][0];
  auto [ptr, ec] = std::from_chars(fields[6].data(), fields[6].data() + fields[6].size(), stat.flags);
  if (ec != std::errc()) return fail_os(EINVAL);
  return stat;
}

bool is_exited_state(char state) { return state == 'Z' || state == 'X'; }

// The /proc folder through which the process's memory and executable can be
// read: its own while its first thread lives, else that of a live thread.
std::string live_task_dir(std::uint32_t pid) {
  const std::string dir = proc_dir(pid);
  auto leader = read_task_stat(dir);
  if (!leader || !is_exited_state(leader->state)) return dir;
  std::string live;
  (void)for_each_entry(dir + "/task", [&](int, std::string_view name) {
    if (!live.empty() || name.empty() || name[0] == '.' || name == std::to_string(pid)) return;
    std::string task = dir + "/task/" + std::string(name);
    auto stat = read_task_stat(task);
    if (stat && !is_exited_state(stat->state)) live = std::move(task);
  });
  return live.empty() ? dir : live;
}

// The process's executable link (through a live thread when the first one
// has exited) and what it reads.
struct ExeLink {
  std::string link;
  std::string target;
};

Result<ExeLink> read_exe_link(std::uint32_t pid) {
  std::string link = proc_path(pid, "exe");
  auto target = read_link(link);
  if (!target && target.error().os_code() == ENOENT) {
    link = live_task_dir(pid) + "/exe";
    target = read_link(link);
  }
  if (!target) return fail(target.error());
  return ExeLink{std::move(link), std::move(*target)};
}

// Takes a " (deleted)" mark off a path the kernel reported. A file may really
// be named "... (deleted)": the mark is taken off only when no file of the
// marked name exists.
std::filesystem::path unmark_deleted(std::string path, bool& deleted) {
  deleted = false;
  if (path.ends_with(kDeletedMark)) {
    auto marked = lstat_path(path);
    if (!marked && marked.error().is_not_found()) {
      path.resize(path.size() - kDeletedMark.size());
      deleted = true;
    }
  }
  return path;
}

// The kernel writes a line feed inside a path of the mappings as "\012".
std::string unescape_mapped_path(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 4) == "\\012") {
      out += '\n';
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

template <class T>
bool parse_number(std::string_view text, T& value, int base = 10) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// "major:minor" in hexadecimal, as the mappings and mountinfo (there in
// decimal) write a device.
bool parse_device(std::string_view text, int base, std::uint64_t& device) {
  const std::size_t colon = text.find(':');
  unsigned int major = 0;
  unsigned int minor = 0;
  if (colon == std::string_view::npos || !parse_number(text.substr(0, colon), major, base) ||
      !parse_number(text.substr(colon + 1), minor, base)) {
    return false;
  }
  device = static_cast<std::uint64_t>(::makedev(major, minor));
  return true;
}

// Splits off the next field separated by blanks.
std::string_view next_field(std::string_view& line) {
  const std::size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(begin);
  const std::size_t end = std::min(line.find(' '), line.size());
  std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

}  // namespace

Result<std::vector<std::uint32_t>> list_process_ids() {
  std::vector<std::uint32_t> ids;
  QV_TRY(for_each_entry("/proc", [&](int, std::string_view name) {
    std::uint32_t pid = 0;
    if (parse_number(name, pid) && pid != 0) ids.push_back(pid);
  }));
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

ProcessNames process_names(std::uint32_t pid) {
  ProcessNames names;
  if (auto exe = read_exe_link(pid)) {
    bool deleted = false;
    names.exe_name = unmark_deleted(std::move(exe->target), deleted).filename().string();
  }
  // The command name is at most 15 bytes and ends in a newline.
  if (auto comm = read_small_file(proc_path(pid, "comm"), 64)) {
    names.command = std::move(*comm);
    if (!names.command.empty() && names.command.back() == '\n') names.command.pop_back();
  }
  return names;
}

Result<ProcessImage> read_process_image(std::uint32_t pid) {
  ExeLink exe = QV_TRY(read_exe_link(pid));
  // stat follows the kernel's link to the file the process runs, wherever
  // the path would lead from here.
  const FileInfo info = QV_TRY(stat_path(exe.link));
  ProcessImage image;
  image.path = unmark_deleted(std::move(exe.target), image.deleted);
  image.file = FileIdentity{info.device, info.inode};
  return image;
}

Result<std::vector<MappedFile>> read_mapped_files(std::uint32_t pid) {
  std::vector<MappedFile> files;
  std::set<std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>> seen;
  QV_TRY(for_each_line(live_task_dir(pid) + "/maps", [&](std::string_view line) {
    // address perms offset device inode path
    next_field(line);
    next_field(line);
    next_field(line);
    const std::string_view device_text = next_field(line);
    const std::string_view inode_text = next_field(line);
    const std::size_t begin = line.find_first_not_of(' ');
    if (begin == std::string_view::npos || line[begin] != '/') return;
    MappedFile file;
    std::uint64_t inode = 0;
    if (!parse_device(device_text, 16, file.file.device) || !parse_number(inode_text, inode) || inode == 0) return;
    file.file.inode = inode;
    file.path = unmark_deleted(unescape_mapped_path(line.substr(begin)), file.deleted);
    if (!seen.insert({file.path.native(), {file.file.device, file.file.inode}}).second) return;
    files.push_back(std::move(file));
  }));
  return files;
}

Result<FileIdentity> mapping_identity(const std::filesystem::path& path) {
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_MNT_ID, &st) != 0) return fail_os(errno);
  FileIdentity identity{static_cast<std::uint64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)), st.stx_ino};
  if ((st.stx_mask & STATX_MNT_ID) == 0) return identity;
  // A mapping shows the device of the file system itself, which some file
  // systems (subvolumes, overlays) do not report to stat; the mount table
  // has it.
  const std::string wanted = std::to_string(st.stx_mnt_id);
  QV_TRY(for_each_line("/proc/self/mountinfo", [&](std::string_view line) {
    // mount-id parent-id major:minor root mount-point ...
    if (next_field(line) != wanted) return;
    next_field(line);
    std::uint64_t device = 0;
    if (parse_device(next_field(line), 10, device)) identity.device = device;
  }));
  return identity;
}

Result<bool> is_kernel_thread(std::uint32_t pid) {
  const TaskStat stat = QV_TRY(read_task_stat(proc_dir(pid)));
  return (stat.flags & kKernelThreadFlag) != 0;
}

Result<ProcessUsers> read_process_users(std::uint32_t pid) {
  std::optional<ProcessUsers> users;
  QV_TRY(for_each_line(proc_path(pid, "status"), [&](std::string_view line) {
    // "Uid:" then the real, effective, saved and file-system ids.
    constexpr std::string_view kUid = "Uid:";
    if (users || !line.starts_with(kUid)) return;
    line.remove_prefix(kUid.size());
    std::uint32_t ids[4] = {};
    for (auto& id : ids) {
      const std::size_t begin = line.find_first_not_of(" \t");
      if (begin == std::string_view::npos) return;
      line.remove_prefix(begin);
      const std::size_t end = std::min(line.find_first_of(" \t"), line.size());
      if (!parse_number(line.substr(0, end), id)) return;
      line.remove_prefix(end);
    }
    users = ProcessUsers{ids[0], ids[1], ids[2], ids[3]};
  }));
  if (!users) return fail_os(EINVAL);
  return *users;
}

bool is_another_users(const ProcessUsers& users) {
  const auto mine = [](std::uint32_t id) {
    return id == static_cast<std::uint32_t>(::getuid()) || id == static_cast<std::uint32_t>(::geteuid());
  };
  return !mine(users.real) && !mine(users.effective) && !mine(users.saved) && !mine(users.filesystem);
}

Result<std::vector<std::uint64_t>> read_socket_inodes(std::uint32_t pid) {
  constexpr std::string_view kSocket = "socket:[";
  std::vector<std::pair<int, std::uint64_t>> sockets;
  // The descriptor table is shared by the threads: a live one's view serves
  // when the first thread has exited.
  QV_TRY(for_each_entry(live_task_dir(pid) + "/fd", [&](int folder, std::string_view name) {
    int fd = 0;
    if (!parse_number(name, fd)) return;
    char target[64];
    const ssize_t n = ::readlinkat(folder, std::string(name).c_str(), target, sizeof target);
    // A descriptor closed meanwhile is no longer held.
    if (n <= 0) return;
    std::string_view text(target, static_cast<std::size_t>(n));
    if (!text.starts_with(kSocket) || !text.ends_with(']')) return;
    std::uint64_t inode = 0;
    if (parse_number(text.substr(kSocket.size(), text.size() - kSocket.size() - 1), inode)) {
      sockets.emplace_back(fd, inode);
    }
  }));
  std::sort(sockets.begin(), sockets.end());
  std::vector<std::uint64_t> inodes;
  inodes.reserve(sockets.size());
  for (const auto& socket : sockets) inodes.push_back(socket.second);
  return inodes;
}

Result<std::map<std::string, std::string, std::less<>>> read_process_environment(
    std::uint32_t pid, std::span<const std::string_view> names) {
  std::map<std::string, std::string, std::less<>> found;
  QV_TRY(for_each_record(live_task_dir(pid) + "/environ", '\0', [&](std::string_view entry) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos) return;
    const std::string_view name = entry.substr(0, equals);
    // The first definition is the one getenv would find.
    if (std::find(names.begin(), names.end(), name) == names.end() || found.contains(name)) return;
    found.emplace(name, entry.substr(equals + 1));
  }));
  return found;
}

}  // namespace qv::platform
