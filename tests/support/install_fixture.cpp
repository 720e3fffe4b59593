#include "support/install_fixture.hpp"

#include <sys/stat.h>

#include <stdexcept>

#include <fmt/format.h>

#include "core/foundations/diagnostics.hpp"
#include "core/foundations/fileops.hpp"
#include "core/foundations/paths.hpp"
#include "core/install/executor.hpp"
#include "core/install/installed_state.hpp"
#include "core/install/rollback.hpp"
#include "platform/fs.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {

namespace fs = std::filesystem;

std::string_view as_text(const Bytes& bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

ClientFixture::ClientFixture(const fs::path& base, std::uint8_t key_seed)
    : base_(base), root_(base / "client"), keys_(ReleaseKeys::from_seed(key_seed)) {
  ::umask(022);
  fs::create_directories(root_);
}

ClientConfig ClientFixture::config(bool retain, bool armed) const {
  ClientConfig config;
  config.root = root_;
  config.manifest_url = "http://127.0.0.1:1/manifest.qvm";
  config.object_base_url = "http://127.0.0.1:1/";
  config.public_key = keys_.public_key;
  config.manifest_key = keys_.manifest_key;
  config.retain_patch_artifacts = retain;
  config.allow_loopback_http = armed;
  return config;
}

const PublishedRelease& ClientFixture::publish(std::uint64_t number, const std::vector<ClientFile>& files,
                                               const std::vector<std::string>& deletes) {
  auto release = std::make_unique<PublishedRelease>();
  release->dir = base_ / fmt::format("publish-{}-{}", number, releases_.size());
  PublishFolder folder(release->dir, keys_);
  for (const auto& file : files) folder.add_file(file.path, bytes_source(file.content));
  folder.manifest().release = number;
  folder.manifest().delete_ = deletes;
  folder.write_manifest();
  release->manifest = folder.manifest();
  release->envelope = manifest_envelope(keys_, release->manifest);
  release->files = files;
  releases_.push_back(std::move(release));
  return *releases_.back();
}

void ClientFixture::place(const PublishedRelease& release, bool state) const {
  for (const auto& file : release.files) write_file(root_ / file.path, file.content);
  if (state) write_file(root_ / kInstalledStateRelative, as_text(release.envelope));
}

PreparedCheck ClientFixture::prepare(const PublishedRelease& release, const std::vector<std::uint32_t>& download,
                                     const std::vector<std::string>& deletes) const {
  PreparedCheck check;
  check.root = root_;
  check.transaction_dir = root_ / ".launcher/transactions" / random_hex_id();
  check.manifest = release.manifest;
  check.plan.download = download;
  check.plan.delete_ = deletes;
  write_file(check.transaction_dir / "manifest.qvm", as_text(release.envelope));
  for (const auto index : download) {
    const FileEntry& entry = release.manifest.files.at(index);
    check.plan.download_bytes += entry.object_bytes;
    const fs::path object = check.transaction_dir / "downloads" / entry.object;
    fs::create_directories(object.parent_path());
    fs::copy_file(release.dir / entry.object, object, fs::copy_options::overwrite_existing);
  }
  return check;
}

TreeSnapshot ClientFixture::client_tree() const { return snapshot_tree(root_, {.skip = {".launcher"}}); }

TreeSnapshot ClientFixture::whole_tree() const { return snapshot_tree(root_, {.folders = true}); }

ReleaseChange::ReleaseChange(const fs::path& base) : client(base) {
  old_release = &client.publish(1, {{"bin/game.exe", noise_bytes(1'572'864, 11)},
                                    {"keep.txt", "kept as it is\n"},
                                    {"old.txt", "removed by release 2\n"}});
  new_release = &client.publish(2,
                                {{"bin/game.exe", noise_bytes(1'572'864, 22)},
                                 {"keep.txt", "kept as it is\n"},
                                 {"new/dir/file.txt", "made by release 2\n"},
                                 {"empty.txt", ""}},
                                {"old.txt"});
  client.place(*old_release);
  check = client.prepare(*new_release, {0, 2, 3}, {"old.txt"});
  old_tree = client.client_tree();
  for (const auto& file : new_release->files) {
    const bool program = file.path == new_release->manifest.game_exe;
    new_tree[file.path] = snapshot_file_entry(program ? 0755 : 0644, file.content);
  }
}

Result<StartedInstall> start_install(const ClientConfig& config, const PreparedCheck& check) {
  const fs::path& root = check.root;
  const fs::path& folder = check.transaction_dir;
  StartedInstall install;
  Journal& journal = install.journal;
  journal.retain = config.retain_patch_artifacts;
  for (const auto index : check.plan.download) {
    const std::string& path = check.manifest.files.at(index).path;
    const fs::path target = QV_TRY(resolve_physical_path(root, path));
    journal.operations.push_back({path, platform::lstat_path(target).has_value(), false});
  }
  for (const auto& path : check.plan.delete_) journal.operations.push_back({path, true, true});
  install.state_path = QV_TRY(installed_state_path(root));
  if (platform::lstat_path(install.state_path)) {
    QV_TRY(copy_durable(install.state_path, folder / "previous-manifest.qvm"));
    journal.previous_state = true;
  }
  install.state_bytes = QV_TRY(platform::read_small_file(folder / "manifest.qvm", std::size_t{1} << 26));
  install.total_steps = journal.operations.size() + check.plan.download.size() + 1;
  journal.phase = journal_phase::kPrepared;
  QV_TRY(write_journal(folder, journal));
  journal.phase = journal_phase::kInstalling;
  QV_TRY(write_journal(folder, journal));
  return install;
}

Status execute(const ClientConfig& config, const PreparedCheck& check, StartedInstall& install,
               const CancelFlag& cancel, const LineSink& sink, const ExecutorOptions& options) {
  return apply_operations(install.journal, cancel, sink, install.total_steps, check.root, check, config, check.manifest,
                          check.plan.download, install.state_path, install.state_bytes, options);
}

Status run_install(const ClientConfig& config, const PreparedCheck& check, const CancelFlag& cancel,
                   const LineSink& sink, Journal* out, const ExecutorOptions& options) {
  auto install = QV_TRY(start_install(config, check));
  Journal& journal = install.journal;
  Status result;
  if (auto installed = execute(config, check, install, cancel, sink, options); !installed) {
    const std::string install_error = installed.error().to_string();
    sink(record_error(check.root, "install/rollback", install_error));
    if (auto undone = rollback(check.root, check.transaction_dir, journal); !undone) {
      result = fail(fmt::format("{}; rollback also failed: {}", install_error, undone.error().to_string()));
    } else {
      result = fail(installed.error());
    }
  } else {
    journal.phase = journal_phase::kComplete;
    result = write_journal(check.transaction_dir, journal);
    if (result && !journal.retain) result = cleanup_transaction(check.root, check.transaction_dir);
  }
  if (out != nullptr) *out = journal;
  return result;
}

Journal journal_of(const fs::path& transaction_dir) {
  auto journal = read_journal(transaction_dir / kJournalFile);
  if (!journal) throw std::runtime_error("journal: " + journal.error().to_string());
  return *journal;
}

std::vector<std::string> logged_phases(const fs::path& transaction_dir) {
  std::vector<std::string> phases;
  const std::string log = read_file(transaction_dir / kJournalEventsFile);
  for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    auto journal = decode_journal(log.substr(start, end - start));
    if (!journal) throw std::runtime_error("event line: " + journal.error().to_string());
    phases.push_back(journal->phase);
  }
  return phases;
}

}  // namespace qv::test
