// A second name for an existing file.
#pragma once

#include <filesystem>

#include "platform/error.hpp"

namespace qv::platform {

// link(2): `new_name` becomes another name of the file `existing` (a link
// named `existing` is not followed). Fails with the operating-system error;
// EEXIST when `new_name` exists, EXDEV across file systems, EPERM where the
// file system has no hard links. The folder of `new_name` is not flushed.
Status hard_link(const std::filesystem::path& existing, const std::filesystem::path& new_name);

// True when `error`, from hard_link, says that this file system cannot give
// the file a second name there (across file systems, no hard links, too many
// names), as opposed to a failure that a copy would meet as well.
bool is_hard_link_unsupported(const Error& error);

}  // namespace qv::platform
