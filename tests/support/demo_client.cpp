#include "support/demo_client.hpp"

#include <sys/stat.h>

#include <stdexcept>

#include "core/install/installed_state.hpp"
#include "support/object_builder.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {

namespace fs = std::filesystem;

namespace {

// The whole content of a byte source (demo files are small enough to hold).
std::string drain(ByteSource source) {
  std::string out;
  out.resize(source.size);
  std::size_t at = 0;
  while (at < out.size()) {
    const std::size_t n = source.read(std::as_writable_bytes(std::span(out.data() + at, out.size() - at)));
    if (n == 0) throw std::runtime_error("byte source ended early");
    at += n;
  }
  return out;
}

struct DemoFile {
  std::string path;
  std::string content;
};

constexpr std::uint64_t kOldDataSeed = 7;
constexpr std::uint64_t kNewDataSeed = 8;

std::vector<DemoFile> release_files(const std::string& game, std::uint64_t data_bytes, bool newer) {
  std::vector<DemoFile> files;
  files.push_back({kDemoGame, game});
  if (newer) {
    files.push_back({kDemoData, drain(pattern_source(data_bytes, kNewDataSeed))});
    files.push_back({"data/notes.txt", "Release 2: the spring festival is open.\n"});
    files.push_back({"data/festival.txt", "Lanterns over the harbour.\n"});
  } else {
    files.push_back({kDemoData, drain(pattern_source(data_bytes / 2, kOldDataSeed))});
    files.push_back({"data/notes.txt", "Release 1: welcome to Velmorane.\n"});
    files.push_back({"data/winter-event.txt", "Snow on the northern pass.\n"});
  }
  files.push_back({"config/client.ini", "[display]\nwidth=1280\nheight=720\n"});
  return files;
}

// Publishes `files` into `folder` as release `number`; returns its manifest.
Manifest publish_release(PublishFolder& folder, const std::vector<DemoFile>& files, std::uint64_t number,
                         const std::vector<std::string>& game_args, const std::vector<std::string>& deletes) {
  for (const auto& file : files) folder.add_file(file.path, bytes_source(file.content));
  Manifest& manifest = folder.manifest();
  manifest.release = number;
  manifest.name = "QV Velmorane";
  manifest.game_exe = kDemoGame;
  manifest.game_args = game_args;
  manifest.delete_ = deletes;
  manifest.links = {kDemoRegisterLink, kDemoTopupLink, kDemoDiscordLink};
  folder.write_manifest();
  return manifest;
}

TreeSnapshot tree_of(const std::vector<DemoFile>& files) {
  TreeSnapshot tree;
  for (const auto& file : files) {
    tree[file.path] = snapshot_file_entry(file.path == kDemoGame ? 0755 : 0644, file.content);
  }
  return tree;
}

}  // namespace

DemoClient::DemoClient(const fs::path& folder, const DemoOptions& options)
    : root_(folder / "client"), publish_dir_(folder / "publish"), publish_(publish_dir_, ReleaseKeys::from_seed(21)) {
  ::umask(022);
  const std::string game = read_file(options.game);
  const auto old_files = release_files(game, options.data_bytes, false);
  const auto new_files = release_files(game, options.data_bytes, true);

  // Release 1 is published only for its signed manifest, the client's
  // installed state; its objects stay in a folder the server never sees.
  {
    TempDir scratch(folder, "release-1-");
    PublishFolder old_folder(scratch.path(), publish_.keys());
    old_manifest_ = publish_release(old_folder, old_files, 1, {}, {});
  }
  new_manifest_ = publish_release(publish_, new_files, 2, options.game_args, {"data/winter-event.txt"});

  for (const auto& file : old_files) write_file(root_ / file.path, file.content);
  fs::permissions(root_ / kDemoGame, fs::perms(0755));
  const Bytes state = manifest_envelope(publish_.keys(), old_manifest_);
  write_file(root_ / kInstalledStateRelative, std::string_view(reinterpret_cast<const char*>(state.data()), state.size()));

  old_tree_ = tree_of(old_files);
  new_tree_ = tree_of(new_files);
}

fs::path DemoClient::write_config(const std::string& base_url, const std::optional<std::string>& update_url) const {
  const fs::path path = root_ / "launcher.json";
  write_file(path, launcher_json(publish_.keys(), root_, base_url + "manifest.qvm", base_url, true, update_url));
  return path;
}

TreeSnapshot DemoClient::client_tree() const { return snapshot_tree(root_, {.skip = {".launcher", "launcher.json", "Launcher.exe", "LauncherUpdater.exe"}}); }

}  // namespace qv::test
