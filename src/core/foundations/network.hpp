// The download client: fetches one URL into one file, resuming by byte range,
// with strict size checks, cancellation between chunks, byte progress, three
// attempts and a diagnostics record of every failed attempt. Nothing else in
// the system opens network connections.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/error.hpp"
#include "core/foundations/progress.hpp"

namespace qv {

// Told, after each chunk written, how many bytes the destination now holds
// (a resumed prefix included). Borrowed for the call; called on the
// downloading thread only.
using ByteProgress = std::function<void(std::uint64_t bytes_in_file)>;

// Downloads `url` (checked by `check_url` with `allow_loopback_http`) into
// `destination`.
//
// With `expected_size` (a signed object size) the download resumes a partial
// destination by a range request, and a destination of exactly that size is
// complete without any request. Without it a partial destination is never
// resumed: it is set aside beside itself as "{stem}.{32 hex}.manifest-fragment"
// and fetched anew. A partial that a server answers with the whole body (200)
// is set aside as "{stem}.{32 hex}.range-restarted", and a partial that has
// a second name (a hard link, perhaps outside the client) as
// "{stem}.{32 hex}.invalid" before the body is fetched from byte zero: bytes
// are only ever appended to a file with no other name. `size_limit` bounds
// the file's total size. Nothing is ever deleted; after a failure the bytes
// written so far stay in the destination.
//
// Up to three attempts, 300 ms and 600 ms apart; a failed attempt on a
// destination below a ".launcher" folder appends a "download" record to that
// client's diagnostics log. The cancel flag is read about once a second from
// the connect on (an answer that comes within the first second is examined
// first), before every body chunk and after each failed attempt: a cancelled
// call returns "cancelled; partial retained" (or the failed attempt's own
// error) without a further attempt. A host named by a loopback address is
// never reached through a proxy of the environment.
// Returns the last attempt's error unwrapped, or "{error}; cannot persist
// download error" when a record cannot be written. Blocks the calling thread;
// several calls may run at once on different destinations.
Status download_file(std::string_view url, const std::filesystem::path& destination,
                     std::optional<std::uint64_t> expected_size, std::uint64_t size_limit, bool allow_loopback_http,
                     const CancelFlag& cancel, const ByteProgress& progress);

}  // namespace qv
