// The test release builder: keys from a fixed seed, signed and sealed
// envelopes, and the low-level signing used to forge the signatures that
// strict verification must refuse.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/formats/manifest.hpp"
#include "support/object_builder.hpp"

namespace qv::test {

using Bytes = std::vector<std::uint8_t>;
using Key32 = std::array<std::uint8_t, 32>;

struct ReleaseKeys {
  Key32 public_key{};
  std::array<std::uint8_t, 64> secret_key{};  // seed followed by the public key
  Key32 manifest_key{};
  // The same keys for the same seed, in every run.
  static ReleaseKeys from_seed(std::uint8_t seed = 1);
};

// How an envelope is sealed; every field can be changed to make a broken one.
struct EnvelopeOptions {
  std::array<std::uint8_t, 8> magic = {'Q', 'V', 'M', 'A', 'N', '0', '0', '1'};
  std::optional<std::array<std::uint8_t, 24>> nonce;  // default: derived from the plaintext size
  std::optional<Key32> encryption_key;                // default: the manifest key
  std::optional<Bytes> associated_data;               // default: the magic
};

// magic | nonce | XChaCha20-Poly1305(plaintext) | Ed25519 signature.
Bytes seal_envelope(const ReleaseKeys& keys, std::span<const std::uint8_t> plaintext,
                    const EnvelopeOptions& options = {});

// Signs everything before the last 64 bytes again, after a test changed them.
void resign_envelope(const ReleaseKeys& keys, Bytes& envelope);

// Ed25519 over raw scalars, for signatures the ordinary signer cannot make:
// S = r + k*a mod L with k = SHA-512(R | A | M), R = [r]B. `public_key` is
// used as A in the hash as given, so a key that is not [a]B can be signed for.
std::array<std::uint8_t, 64> sign_raw(const Key32& a, const Key32& public_key, const Key32& r,
                                      std::span<const std::uint8_t> message);
// k = SHA-512(R | A | M) mod L, as a verifier computes it.
Key32 challenge(const Key32& R, const Key32& public_key, std::span<const std::uint8_t> message);

// A point of order 8, for mixed-order keys.
Key32 order8_point();
// p + q on the curve.
Key32 point_add(const Key32& p, const Key32& q);
// [s]B without clamping.
Key32 base_mul(const Key32& scalar);
// s + L (not reduced), for a non-canonical S.
Key32 add_group_order(const Key32& scalar);

// The text of a launcher.json for these keys.
std::string launcher_json(const ReleaseKeys& keys, const std::filesystem::path& root, const std::string& manifest_url,
                          const std::string& object_base_url, bool allow_loopback_http = true,
                          std::optional<std::string> update_url = std::nullopt, bool retain_patch_artifacts = false);

// A well-formed entry (sha256, plausible sizes, fixed hash texts) whose
// object does not exist: for tests of the records themselves.
FileEntry sample_entry(std::string path);

// A manifest that passes validation once it holds its game executable:
// format 1, release `release`, zstd level 3, window log 27, no links.
Manifest test_manifest(std::vector<FileEntry> files = {}, std::uint64_t release = 1);
// The sealed and signed `manifest.qvm` of a manifest, encoded in the fixed form.
Bytes manifest_envelope(const ReleaseKeys& keys, const Manifest& manifest, const EnvelopeOptions& options = {});

// The CBOR body of `launcher-update.qvm` and its envelope.
Bytes launcher_update_body(std::uint32_t format, std::uint64_t version, const FileEntry& launcher);
Bytes launcher_update_envelope(const ReleaseKeys& keys, std::uint32_t format, std::uint64_t version,
                               const FileEntry& launcher);

// A publish folder laid out as the server serves it: `manifest.qvm`,
// `objects/<32 hex>.qvp` and `launcher-update.qvm`.
class PublishFolder {
 public:
  PublishFolder(std::filesystem::path dir, ReleaseKeys keys);

  // Builds the object of one client file and adds its entry to the manifest.
  // The first file added is the game executable unless the manifest names one.
  const FileEntry& add_file(const std::string& path, ByteSource plain, ObjectOptions options = {});
  Manifest& manifest() { return manifest_; }
  const ReleaseKeys& keys() const { return keys_; }
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path object_path(const FileEntry& entry) const { return dir_ / entry.object; }

  // Writes manifest.qvm from the manifest as it stands.
  void write_manifest(const EnvelopeOptions& options = {});
  // Builds the launcher's object and writes launcher-update.qvm for it.
  FileEntry write_launcher_update(std::uint64_t version, ByteSource launcher, ObjectOptions options = {});

 private:
  // Builds an object under objects/ with the next seed and returns its entry.
  FileEntry build_published_object(ByteSource plain, ObjectOptions options);

  std::filesystem::path dir_;
  ReleaseKeys keys_;
  Manifest manifest_;
  std::uint64_t next_seed_ = 100;
};

}  // namespace qv::test
