// A seccomp filter that answers one system call with an error, as the filters
// of some sandboxes do, for children that test how the system copes there.
#pragma once

#include <optional>
#include <string>

namespace qv::test {

// Installs, for every thread of the calling process and everything it starts
// later, a filter that answers the system call `number` with the error
// `error` and lets every other call through. It cannot be taken back: call it
// in a child. Returns why not, when the system refuses the filter.
std::optional<std::string> refuse_system_call(long number, int error);

}  // namespace qv::test
