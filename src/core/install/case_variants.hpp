// Files renamed only in the case of their letters between releases. Release
// data names one file whatever the case ("ReadMe.TXT" and "readme.txt" are
// one path to it, and no release may list or delete both), but a disk that
// tells cases apart would keep the old name beside the new one for ever.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/manifest.hpp"
#include "platform/error.hpp"

namespace qv {

// The client-relative paths, as the installed manifest spells them, of the
// installed files that the entries `download` of `manifest` replace under
// another spelling: for each entry whose path `installed` lists only in
// other letter case (compared after full lower-casing), that spelling, when a
// regular file stands there that is not the entry's own target (on a disk
// that ignores case the two names are one file, and nothing is added). The
// install backs such a file up and sets it aside like a deleted one, so the
// client keeps only the release's name and a rollback brings the old one
// back. In download order. Every index must be below manifest.files.size().
// Errors: those of resolve_physical_path (a link, an escape from the root).
// Reads only; the caller holds the client lock.
Result<std::vector<std::string>> installed_case_variants(const std::filesystem::path& root, const Manifest& manifest,
                                                         std::span<const std::uint32_t> download,
                                                         const std::optional<Manifest>& installed);

}  // namespace qv
