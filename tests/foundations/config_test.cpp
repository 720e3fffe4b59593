#include "core/foundations/config.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

extern char** environ;

namespace qv {
namespace {

using test::TempDir;
using test::write_file;

std::string key_array(int count, int value = 7) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += fmt::format("{}{}", i ? "," : "", value);
  return out + "]";
}

const std::string kKey = key_array(32);

TEST(ArgValue, FirstExactOccurrenceAndItsSuccessor) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{"prog", "--config", "a.json"}, "a.json"},
      {{"prog", "--config", "a.json", "--config", "b.json"}, "a.json"},
      {{"prog", "--config"}, std::nullopt},                       // last argument: absent
      {{"prog", "--CONFIG", "a.json"}, std::nullopt},             // case-sensitive
      {{"prog", "--config=a.json"}, std::nullopt},                // no joined form
      {{"prog", "--config", "--health-id"}, "--health-id"},       // the successor, whatever it is
      {{"prog", "--config", ""}, ""},
      {{"prog", " --config", "a"}, std::nullopt},
      {{"--config", "x"}, "x"},                                   // argument 0 counts too
  };
  for (const auto& c : cases) {
    EXPECT_EQ(arg_value_in(c.args, "--config"), c.expected) << fmt::format("{}", fmt::join(c.args, " "));
  }
}

TEST(ParseConfig, ObjectFormInAnyOrderWithDefaults) {
  const std::string forward = fmt::format(
      R"({{"root":"/r","manifest_url":"https://a/m","object_base_url":"https://a/o/","public_key":{},)"
      R"("manifest_key":{},"retain_patch_artifacts":true,"allow_loopback_http":true,"update_url":"https://a/u"}})",
      kKey, key_array(32, 255));
  const std::string reverse = fmt::format(
      R"({{"update_url":"https://a/u","allow_loopback_http":true,"retain_patch_artifacts":true,)"
      R"("manifest_key":{},"public_key":{},"object_base_url":"https://a/o/","manifest_url":"https://a/m","root":"/r"}})",
      key_array(32, 255), kKey);
  auto a = parse_config(forward);
  auto b = parse_config(reverse);
  ASSERT_TRUE(a) << a.error().to_string();
  ASSERT_TRUE(b) << b.error().to_string();
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->root, "/r");
  EXPECT_EQ(a->public_key[0], 7);
  EXPECT_EQ(a->manifest_key[31], 255);
  EXPECT_TRUE(a->retain_patch_artifacts);
  EXPECT_EQ(a->update_url, "https://a/u");

  auto minimal = parse_config(fmt::format(
      R"( {{ "root" : "/r", "manifest_url":"", "object_base_url":"", "public_key":{0}, "manifest_key":{0} }} )", kKey));
  ASSERT_TRUE(minimal) << minimal.error().to_string();
  EXPECT_FALSE(minimal->retain_patch_artifacts);
  EXPECT_FALSE(minimal->allow_loopback_http);
  EXPECT_FALSE(minimal->update_url);
  EXPECT_EQ(minimal->manifest_url, "");

  auto null_url = parse_config(fmt::format(
      R"({{"root":"/r","manifest_url":"m","object_base_url":"o","public_key":{0},"manifest_key":{0},"update_url":null}})",
      kKey));
  ASSERT_TRUE(null_url);
  EXPECT_FALSE(null_url->update_url);
  auto empty_url = parse_config(fmt::format(
      R"({{"root":"/r","manifest_url":"m","object_base_url":"o","public_key":{0},"manifest_key":{0},"update_url":""}})",
      kKey));
  ASSERT_TRUE(empty_url);
  EXPECT_EQ(empty_url->update_url, "");
}

TEST(ParseConfig, ArrayForm) {
  auto five = parse_config(fmt::format(R"(["/r","m","o",{0},{0}])", kKey));
  ASSERT_TRUE(five) << five.error().to_string();
  EXPECT_FALSE(five->retain_patch_artifacts);
  EXPECT_FALSE(five->update_url);
  auto six = parse_config(fmt::format(R"(["/r","m","o",{0},{0},true])", kKey));
  ASSERT_TRUE(six) << six.error().to_string();
  EXPECT_TRUE(six->retain_patch_artifacts);
  EXPECT_FALSE(six->allow_loopback_http);
  auto seven = parse_config(fmt::format(R"(["/r","m","o",{0},{0},false,true])", kKey));
  ASSERT_TRUE(seven) << seven.error().to_string();
  EXPECT_TRUE(seven->allow_loopback_http);
  EXPECT_FALSE(seven->update_url);
  auto eight = parse_config(fmt::format(R"(["/r","m","o",{0},{0},true,false,"u"])", kKey));
  ASSERT_TRUE(eight) << eight.error().to_string();
  EXPECT_TRUE(eight->retain_patch_artifacts);
  EXPECT_EQ(eight->update_url, "u");
}

// Every refusal, with the exact message and the position at which reading stopped.
TEST(ParseConfig, ErrorsWithPositions) {
  const std::string k31 = key_array(31);
  const std::string k33 = key_array(33);
  const std::string head = R"({"root":"/r","manifest_url":"m","object_base_url":"o","public_key":)";
  const std::string valid = fmt::format(R"({}{},"manifest_key":{}}})", head, kKey, kKey);
  struct Case {
    std::string document;
    std::string expected;
  };
  const Case cases[] = {
      {fmt::format(R"(["/r","m","o",{}])", kKey),
       fmt::format("invalid length 4, expected struct ClientConfig with 8 elements at line 1 column {}",
                   15 + kKey.size())},
      {fmt::format(R"(["/r","m","o",{0},{0},true,false,"u", 9])", kKey),
       fmt::format("trailing characters at line 1 column {}", 33 + 2 * kKey.size())},
      {R"({"root":"/r","extra":1})",
       "unknown field `extra`, expected one of `root`, `manifest_url`, `object_base_url`, `public_key`, "
       "`manifest_key`, `retain_patch_artifacts`, `allow_loopback_http`, `update_url` at line 1 column 20"},
      {R"({"root":"/a","root":"/b"})", "duplicate field `root` at line 1 column 19"},
      {R"({"root":"/r"})", "missing field `manifest_url` at line 1 column 13"},
      {valid + "{}", fmt::format("trailing characters at line 1 column {}", valid.size() + 1)},
      {valid + "\n x", "trailing characters at line 2 column 2"},
      {"\xEF\xBB\xBF" + valid, "expected value at line 1 column 1"},
      {"5", "invalid type: integer `5`, expected struct ClientConfig at line 1 column 1"},
      {R"("text")", "invalid type: string \"text\", expected struct ClientConfig at line 1 column 6"},
      {"null", "invalid type: null, expected struct ClientConfig at line 1 column 4"},
      {head + k31 + "}",
       fmt::format("invalid length 31, expected an array of length 32 at line 1 column {}", head.size() + k31.size())},
      {head + k33 + "}", fmt::format("trailing characters at line 1 column {}", head.size() + k33.size() - 1)},
      {head + "[256" + kKey.substr(2),
       fmt::format("invalid value: integer `256`, expected u8 at line 1 column {}", head.size() + 4)},
      {head + "[-1" + kKey.substr(2),
       fmt::format("invalid value: integer `-1`, expected u8 at line 1 column {}", head.size() + 3)},
      {head + "[-0" + kKey.substr(2),
       fmt::format("invalid type: floating point `-0.0`, expected u8 at line 1 column {}", head.size() + 3)},
      {head + "[1.5" + kKey.substr(2),
       fmt::format("invalid type: floating point `1.5`, expected u8 at line 1 column {}", head.size() + 4)},
      {head + "[\"7\"" + kKey.substr(2),
       fmt::format("invalid type: string \"7\", expected u8 at line 1 column {}", head.size() + 4)},
      {R"({"root":5})", "invalid type: integer `5`, expected path string at line 1 column 9"},
      {fmt::format(R"({}{},"manifest_key":{},"retain_patch_artifacts":1}})", head, kKey, kKey),
       fmt::format("invalid type: integer `1`, expected a boolean at line 1 column {}", valid.size() + 26)},
      {R"({"root":"/r",})", "trailing comma at line 1 column 14"},
      {R"({"root":"/r")", "EOF while parsing an object at line 1 column 12"},
      {R"({"root" "/r"})", "expected `:` at line 1 column 9"},
      {R"({"root":"/r\q"})", "invalid escape at line 1 column 13"},
      {"{\"root\":\"a\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"// comment\n{}", "expected value at line 1 column 1"},
      {R"({'root':1})", "key must be a string at line 1 column 2"},
      {fmt::format(R"({}[01{}}})", head, kKey.substr(2)), fmt::format("invalid number at line 1 column {}", head.size() + 3)},
  };
  for (const auto& c : cases) {
    auto parsed = parse_config(c.document);
    ASSERT_FALSE(parsed) << c.document;
    EXPECT_EQ(parsed.error().to_string(), c.expected) << c.document;
  }
}

class LoadConfig : public ::testing::Test {
 protected:
  std::string document(std::string_view root) {
    return fmt::format(R"({{"root":"{}","manifest_url":"m","object_base_url":"o","public_key":{},"manifest_key":{}}})",
                       root, kKey, kKey);
  }
  TempDir dir;
};

TEST_F(LoadConfig, RelativeRootsNameFoldersBesideTheFile) {
  std::filesystem::create_directories(dir / "client");
  std::filesystem::create_directories(dir / "sibling");
  write_file(dir / "client/launcher.json", document("."));
  write_file(dir / "client/other.json", document("../sibling"));

  auto here = load_config(dir / "client/launcher.json");
  ASSERT_TRUE(here) << here.error().to_string();
  EXPECT_EQ(here->root, dir / "client");
  // A path that is not canonical is accepted; the root comes out canonical.
  auto sibling = load_config(dir / "client/../client/other.json");
  ASSERT_TRUE(sibling) << sibling.error().to_string();
  EXPECT_EQ(sibling->root, dir / "sibling");

  write_file(dir / "client/abs.json", document((dir / "sibling/").string()));
  auto absolute = load_config(dir / "client/abs.json");
  ASSERT_TRUE(absolute) << absolute.error().to_string();
  EXPECT_EQ(absolute->root, dir / "sibling");
}

// A root that cannot serve as the client root is refused at load, and the
// error names the root as joined onto the file's folder.
TEST_F(LoadConfig, RootFailures) {
  const auto root_error = [&](std::string_view root, std::string_view cause) {
    return fmt::format("client root {}: {}", (dir / root).string(), cause);
  };
  write_file(dir / "missing.json", document("nowhere"));
  EXPECT_EQ(load_config(dir / "missing.json").error().to_string(),
            root_error("nowhere", "No such file or directory (os error 2)"));

  // A file where the folder should be would fail every job later.
  write_file(dir / "client.dat", "a file");
  write_file(dir / "file.json", document("client.dat"));
  EXPECT_EQ(load_config(dir / "file.json").error().to_string(),
            root_error("client.dat", "Not a directory (os error 20)"));
  write_file(dir / "file-absolute.json", document((dir / "client.dat").string()));
  EXPECT_EQ(load_config(dir / "file-absolute.json").error().to_string(),
            root_error("client.dat", "Not a directory (os error 20)"));

  std::filesystem::create_directories(dir / "QvOnline Pristine/client");
  write_file(dir / "protected.json", document("QvOnline Pristine/client"));
  EXPECT_EQ(load_config(dir / "protected.json").error().to_string(),
            root_error("QvOnline Pristine/client", "immutable original/comparison client cannot be a write target"));
  // A longer name that merely contains a protected name is an ordinary folder.
  std::filesystem::create_directories(dir / "qvonline pristine copy");
  write_file(dir / "longer.json", document("qvonline pristine copy"));
  EXPECT_TRUE(load_config(dir / "longer.json"));

  std::filesystem::create_directories(dir / "real");
  std::filesystem::create_directory_symlink(dir / "real", dir / "link");
  write_file(dir / "linked.json", document("link"));
  EXPECT_EQ(load_config(dir / "linked.json").error().to_string(),
            root_error("link", fmt::format("reparse point rejected: {}", (dir / "link").string())));

  // The file itself: its own errors, without a root.
  EXPECT_EQ(load_config(dir / "absent.json").error().to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(load_config(dir.path()).error().to_string(), "Is a directory (os error 21)");

  // The kernel would read a path only up to a NUL, naming another folder.
  std::filesystem::create_directories(dir / "a");
  write_file(dir / "nul.json", document((dir / "a").string() + "\\u0000/x"));
  EXPECT_TRUE(load_config(dir / "nul.json").error().to_string().ends_with(": Invalid argument (os error 22)"));
}

// config_path reads the real process arguments, so it is checked in a child
// process started with the arguments under test.
int run_self(const std::vector<std::string>& extra, const std::string& program = "/proc/self/exe") {
  std::vector<std::string> args = {program, "--gtest_filter=ConfigPath.Child"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ConfigPath, Child) {
  const char* expected = std::getenv("QV_CONFIG_PATH_EXPECTED");
  if (expected == nullptr) GTEST_SKIP() << "runs only as the child of ConfigPath.FromArgumentOrBesideExecutable";
  auto path = config_path();
  if (std::string(expected) == "error") {
    EXPECT_FALSE(path);
  } else {
    ASSERT_TRUE(path) << path.error().to_string();
    EXPECT_EQ(path->string(), expected);
  }
}

TEST(ConfigPath, FromArgumentOrBesideExecutable) {
  TempDir dir;
  write_file(dir / "a.json", "{}");
  std::filesystem::create_directories(dir / "sub");
  std::filesystem::create_symlink(dir / "a.json", dir / "sub/link.json");
  setenv("QV_CONFIG_PATH_EXPECTED", (dir / "a.json").c_str(), 1);
  EXPECT_EQ(run_self({"--config", (dir / "sub/../sub/link.json").string()}), 0);
  EXPECT_EQ(run_self({"--config", (dir / "a.json").string(), "--config", "/nonexistent"}), 0);
  // Without a value, "launcher.json" beside the executable: a copy of this
  // test program in a folder that has one, and in a folder that has none.
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::copy_file("/proc/self/exe", dir / "bin/copy", std::filesystem::copy_options::overwrite_existing);
  write_file(dir / "bin/launcher.json", "{}");
  setenv("QV_CONFIG_PATH_EXPECTED", (dir / "bin/launcher.json").c_str(), 1);
  EXPECT_EQ(run_self({"--config"}, (dir / "bin/copy").string()), 0);
  EXPECT_EQ(run_self({}, (dir / "bin/copy").string()), 0);
  std::filesystem::remove(dir / "bin/launcher.json");
  setenv("QV_CONFIG_PATH_EXPECTED", "error", 1);
  EXPECT_EQ(run_self({"--config"}, (dir / "bin/copy").string()), 0);
  // A relative --config is taken from the current folder.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  setenv("QV_CONFIG_PATH_EXPECTED", (dir / "a.json").c_str(), 1);
  EXPECT_EQ(run_self({"--config", "a.json"}), 0);
  std::filesystem::current_path(cwd);
  unsetenv("QV_CONFIG_PATH_EXPECTED");
}

}  // namespace
}  // namespace qv
