// The update engine without a window.
//
//   engine_driver CONFIG check [--full-check]
//   engine_driver CONFIG apply --transaction DIR
//   engine_driver CONFIG check-and-apply [--full-check]
//
// Loads the configuration file CONFIG as the launcher does and runs the
// engine's operations on its client, writing every status and progress line
// the engine sends to standard output as it arrives. `check` prepares a check
// and finishes it: "ready" when the client needs nothing (the check's folder
// is then gone), otherwise "prepared DIR" and "release N: F files to
// download, B bytes", leaving the folder for `apply`. `apply` applies the
// check of the transaction folder DIR. `check-and-apply` does both in one run,
// as the window's check and PLAY-less patch would.
//
// Exit code: 0 on success, 1 when an engine operation failed (its text, as
// the engine recorded it, on standard error), 2 for a usage or configuration
// error. A test fail point armed by the configuration ends the run with 77.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/foundations/config.hpp"
#include "core/foundations/progress.hpp"
#include "core/install/apply.hpp"
#include "core/install/check.hpp"
#include "prepared_check.hpp"

namespace {

namespace fs = std::filesystem;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

constexpr std::string_view kUsageText =
    "usage: engine_driver CONFIG check [--full-check]\n"
    "       engine_driver CONFIG apply --transaction DIR\n"
    "       engine_driver CONFIG check-and-apply [--full-check]\n";

struct Options {
  fs::path config;
  std::string command;
  bool full_check = false;
  std::optional<fs::path> transaction;
};

std::optional<Options> parse_options(int argc, char** argv) {
  if (argc < 3) return std::nullopt;
  Options options;
  options.config = argv[1];
  options.command = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--full-check") {
      options.full_check = true;
    } else if (arg == "--transaction" && i + 1 < argc) {
      options.transaction = argv[++i];
    } else {
      return std::nullopt;
    }
  }
  const bool checks = options.command == "check" || options.command == "check-and-apply";
  if (checks && options.transaction) return std::nullopt;
  if (options.command == "apply" && (!options.transaction || options.full_check)) return std::nullopt;
  if (!checks && options.command != "apply") return std::nullopt;
  return options;
}

// One line at a time, flushed at once, so that a reader sees each line as the
// engine sends it and a process killed mid-run has shown all it said.
void print_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int failed(std::string_view operation, const qv::Error& error) {
  std::fprintf(stderr, "%.*s failed: %s\n", static_cast<int>(operation.size()), operation.data(),
               error.to_string().c_str());
  return kFailed;
}

// Prepares and finishes a check; the prepared check when it found work.
std::optional<qv::PreparedCheck> run_check(const qv::ClientConfig& config, bool full_check, const qv::LineSink& sink,
                                           int& exit_code) {
  auto check = qv::prepare(config, full_check, qv::CancelFlag(), sink);
  if (!check) {
    exit_code = failed("prepare", check.error());
    return std::nullopt;
  }
  auto ready = qv::finish_check(config, *check, sink);
  if (!ready) {
    exit_code = failed("finish_check", ready.error());
    return std::nullopt;
  }
  if (*ready) {
    print_line("ready");
    return std::nullopt;
  }
  print_line(fmt::format("prepared {}", check->transaction_dir.string()));
  print_line(fmt::format("release {}: {} files to download, {} bytes", check->manifest.release,
                         check->plan.download.size(), check->plan.download_bytes));
  return std::move(*check);
}

int run_apply(const qv::ClientConfig& config, const qv::PreparedCheck& check, const qv::LineSink& sink) {
  if (auto applied = qv::apply(config, check, qv::CancelFlag(), sink); !applied) {
    return failed("apply", applied.error());
  }
  print_line(fmt::format("release {} applied", check.manifest.release));
  return 0;
}

int run(const Options& options) {
  auto config = qv::load_config(options.config);
  if (!config) {
    std::fprintf(stderr, "Configuration: %s\n", config.error().to_string().c_str());
    return kUsage;
  }
  const qv::LineSink sink([](std::string line) { print_line(line); });
  if (options.command == "apply") {
    auto check = qv::driver::read_prepared_check(*config, *options.transaction);
    if (!check) {
      std::fprintf(stderr, "Prepared check: %s\n", check.error().to_string().c_str());
      return kUsage;
    }
    return run_apply(*config, *check, sink);
  }
  int exit_code = 0;
  const auto check = run_check(*config, options.full_check, sink, exit_code);
  if (!check || options.command == "check") return exit_code;
  return run_apply(*config, *check, sink);
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(argc, argv);
  if (!options) {
    std::fputs(kUsageText.data(), stderr);
    return kUsage;
  }
  return run(*options);
}
