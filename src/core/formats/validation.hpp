// The release rules every decoded manifest must pass.
#pragma once

#include "platform/error.hpp"
#include "core/formats/manifest.hpp"

namespace qv {

// Applies the release rules in their fixed order; the first that fails is the
// result, with the rule's own text (or the error of the path, object-name or
// URL check it relies on). Pure; any thread.
Status validate_manifest(const Manifest& manifest);

}  // namespace qv
