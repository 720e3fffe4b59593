// Internal failures: a broken invariant or an impossible state met anywhere in
// the program, on any thread. The program's entry installs the one handler
// that records and reports them; code that catches such a failure (a job
// thread's wrapper, the terminate handler) hands its description here.
#pragma once

#include <string>
#include <string_view>

namespace qv {

using FailureHandler = void (*)(std::string_view description);

// Installs `handler` for the life of the process (nullptr puts the default
// back: the description and a line break on standard error). Call once, at
// the start of main, before any other thread exists.
void set_failure_handler(FailureHandler handler);

// Hands `description` to the installed handler. Never throws; any thread.
void report_internal_failure(std::string_view description) noexcept;

// The exit status of a process that an internal failure ended: neither 0
// (the window closed, or a fatal error was shown), nor 1 (a fatal error under
// the health handshake), nor 77 (a test fail point).
inline constexpr int kInternalFailureExitCode = 70;

// Reports `description` as an internal failure, then ends the process at once
// with kInternalFailureExitCode: for a broken invariant on the window thread,
// which cannot go on drawing or answering the window. A running job ends
// with the process, as when the process is killed (its journal covers that).
[[noreturn]] void fail_internally(std::string_view description) noexcept;

// The program's handler of internal failures: records `description` in the
// diagnostics log under "panic" (record_ui_error, which finds the client
// root) and writes the text it gives and a line break to standard error.
void record_panic(std::string_view description);

// The description of the exception being handled: "internal failure: " and
// the exception's own text (its type for one that is no std::exception).
// Call inside a catch block only.
std::string describe_current_exception();

}  // namespace qv
