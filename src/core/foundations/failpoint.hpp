// Test fail points: stopping the process dead at chosen steps of an install,
// so tests can prove that journals and recovery bring a client back.
//
// Armed only in test installations (`allow_loopback_http` in the client's
// configuration); the environment variable QV_TEST_FAILPOINT names the point
// that fires. The variable is read afresh at every call, from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "platform/error.hpp"

namespace qv {

// The variable that selects a fail point.
inline constexpr std::string_view kFailPointVariable = "QV_TEST_FAILPOINT";

// Returns at once, unless `armed` and QV_TEST_FAILPOINT (valid UTF-8) equals
// `name` exactly: then the process ends with exit code 77 at once, without
// unwinding, flushing or any cleanup of the launcher's own state. The system
// closes every descriptor, which frees the client lock.
void fail_point(bool armed, std::string_view name);

// The injected write failure of the install executor: when `armed` and
// QV_TEST_FAILPOINT equals "error-during-install-{operation}", fails with
// "injected write failure during {path}"; otherwise succeeds. The caller
// checks it after the first chunk of that operation's file was written.
Status injected_install_failure(bool armed, std::uint64_t operation, const std::filesystem::path& path);

}  // namespace qv
