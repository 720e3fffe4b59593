// Test-only controls of the HTTP binding. They are defined in the binding but
// declared only here, so the launcher itself (its configuration file, its
// environment) has no way to reach them.
#pragma once

#include <cstdint>
#include <string>

namespace qv::platform {

// Trusts the certificate authorities in the PEM file `ca_file` in place of the
// system store for every later request; an empty path restores the system
// store. Safe on any thread; requests already running keep what they had.
void set_http_test_trust_anchor(const std::string& ca_file);

// Replaces the stall limit (seconds with less than one byte per second) of
// every later request; 0 restores the caller's limit.
void set_http_test_stall_timeout(std::uint32_t seconds);

}  // namespace qv::platform
