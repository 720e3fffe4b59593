// Releases shared by the seed programs of the manifest, envelope and
// launcher-update targets: manifests that use every field, written by the
// test release builder.
#pragma once

#include <vector>

#include "core/formats/manifest.hpp"

namespace qv::fuzz {

// A small set of manifests: an empty release, one that fills every field
// (links, deletions, arguments, every hash algorithm) and one with many files.
std::vector<Manifest> seed_manifests();

}  // namespace qv::fuzz
