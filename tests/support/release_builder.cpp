#include "support/release_builder.hpp"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

#include <fstream>

#include <fmt/format.h>

#include "core/formats/cbor.hpp"
#include "core/formats/manifest_codec.hpp"
#include "support/temp_dir.hpp"

namespace qv::test {
namespace {

void need_sodium() {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
}

std::string byte_list(const Key32& key) {
  std::string out = "[";
  for (std::size_t i = 0; i < key.size(); ++i) out += fmt::format("{}{}", i ? "," : "", key[i]);
  return out + "]";
}

}  // namespace

ReleaseKeys ReleaseKeys::from_seed(std::uint8_t seed) {
  need_sodium();
  ReleaseKeys keys;
  std::array<std::uint8_t, crypto_sign_SEEDBYTES> sign_seed;
  sign_seed.fill(seed);
  crypto_sign_seed_keypair(keys.public_key.data(), keys.secret_key.data(), sign_seed.data());
  for (std::size_t i = 0; i < keys.manifest_key.size(); ++i) {
    keys.manifest_key[i] = static_cast<std::uint8_t>(seed * 31 + i);
  }
  return keys;
}

Bytes seal_envelope(const ReleaseKeys& keys, std::span<const std::uint8_t> plaintext, const EnvelopeOptions& options) {
  need_sodium();
  std::array<std::uint8_t, 24> nonce;
  if (options.nonce) {
    nonce = *options.nonce;
  } else {
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(plaintext.size() + i * 7);
  }
  const Key32 key = options.encryption_key.value_or(keys.manifest_key);
  const Bytes ad = options.associated_data.value_or(Bytes(options.magic.begin(), options.magic.end()));
  Bytes out(options.magic.begin(), options.magic.end());
  out.insert(out.end(), nonce.begin(), nonce.end());
  const std::size_t sealed_at = out.size();
  out.resize(sealed_at + plaintext.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES);
  unsigned long long sealed_bytes = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(out.data() + sealed_at, &sealed_bytes, plaintext.data(), plaintext.size(),
                                             ad.data(), ad.size(), nullptr, nonce.data(), key.data());
  out.resize(out.size() + crypto_sign_BYTES);
  resign_envelope(keys, out);
  return out;
}

void resign_envelope(const ReleaseKeys& keys, Bytes& envelope) {
  need_sodium();
  if (envelope.size() < crypto_sign_BYTES) throw std::runtime_error("envelope too short to sign");
  const std::size_t signed_bytes = envelope.size() - crypto_sign_BYTES;
  crypto_sign_detached(envelope.data() + signed_bytes, nullptr, envelope.data(), signed_bytes, keys.secret_key.data());
}

Key32 challenge(const Key32& R, const Key32& public_key, std::span<const std::uint8_t> message) {
  need_sodium();
  crypto_hash_sha512_state state;
  crypto_hash_sha512_init(&state);
  crypto_hash_sha512_update(&state, R.data(), R.size());
  crypto_hash_sha512_update(&state, public_key.data(), public_key.size());
  crypto_hash_sha512_update(&state, message.data(), message.size());
  std::array<std::uint8_t, 64> digest;
  crypto_hash_sha512_final(&state, digest.data());
  Key32 k;
  crypto_core_ed25519_scalar_reduce(k.data(), digest.data());
  return k;
}

std::array<std::uint8_t, 64> sign_raw(const Key32& a, const Key32& public_key, const Key32& r,
                                      std::span<const std::uint8_t> message) {
  const Key32 R = base_mul(r);
  const Key32 k = challenge(R, public_key, message);
  Key32 ka, s;
  crypto_core_ed25519_scalar_mul(ka.data(), k.data(), a.data());
  crypto_core_ed25519_scalar_add(s.data(), r.data(), ka.data());
  std::array<std::uint8_t, 64> signature;
  std::memcpy(signature.data(), R.data(), 32);
  std::memcpy(signature.data() + 32, s.data(), 32);
  return signature;
}

Key32 order8_point() {
  return {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
          0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a};
}

Key32 point_add(const Key32& p, const Key32& q) {
  need_sodium();
  Key32 out;
  if (crypto_core_ed25519_add(out.data(), p.data(), q.data()) != 0) throw std::runtime_error("point_add");
  return out;
}

Key32 base_mul(const Key32& scalar) {
  need_sodium();
  Key32 out{};
  // The library refuses to return the identity; [0]B is that point.
  if (sodium_is_zero(scalar.data(), scalar.size())) {
    out[0] = 1;
    return out;
  }
  if (crypto_scalarmult_ed25519_base_noclamp(out.data(), scalar.data()) != 0) throw std::runtime_error("base_mul");
  return out;
}

Key32 add_group_order(const Key32& scalar) {
  static constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                              0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  Key32 out;
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    unsigned sum = scalar[i] + kOrder[i] + carry;
    out[i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  return out;
}

std::string launcher_json(const ReleaseKeys& keys, const std::filesystem::path& root, const std::string& manifest_url,
                          const std::string& object_base_url, bool allow_loopback_http,
                          std::optional<std::string> update_url, bool retain_patch_artifacts) {
  return fmt::format(
      "{{\n  \"root\": \"{}\",\n  \"manifest_url\": \"{}\",\n  \"object_base_url\": \"{}\",\n"
      "  \"public_key\": {},\n  \"manifest_key\": {},\n  \"retain_patch_artifacts\": {},\n"
      "  \"allow_loopback_http\": {},\n  \"update_url\": {}\n}}\n",
      root.string(), manifest_url, object_base_url, byte_list(keys.public_key), byte_list(keys.manifest_key),
      retain_patch_artifacts, allow_loopback_http, update_url ? "\"" + *update_url + "\"" : std::string("null"));
}

FileEntry sample_entry(std::string path) {
  FileEntry e;
  e.path = std::move(path);
  e.bytes = 1000;
  e.algorithm = HashAlgorithm::Sha256;
  e.digest = std::string(64, 'a');
  e.object = "objects/" + std::string(32, 'f') + ".qvp";
  e.object_bytes = 2000;
  e.object_sha256 = std::string(64, 'b');
  return e;
}

Manifest test_manifest(std::vector<FileEntry> files, std::uint64_t release) {
  Manifest m;
  m.format = 1;
  m.release = release;
  m.min_launcher = 1;
  m.name = fmt::format("test release {}", release);
  m.zstd_level = 3;
  m.decoder_window_log = 27;
  m.files = std::move(files);
  if (!m.files.empty()) m.game_exe = m.files.front().path;
  return m;
}

Bytes manifest_envelope(const ReleaseKeys& keys, const Manifest& manifest, const EnvelopeOptions& options) {
  auto encoded = encode_manifest_cbor(manifest);
  if (!encoded) throw std::runtime_error(encoded.error().to_string());
  return seal_envelope(keys, *encoded, options);
}

Bytes launcher_update_body(std::uint32_t format, std::uint64_t version, const FileEntry& launcher) {
  Bytes out;
  cbor_write_head(out, cbor_major::kMap, 3);
  cbor_write_text(out, "format");
  cbor_write_head(out, cbor_major::kUnsigned, format);
  cbor_write_text(out, "version");
  cbor_write_head(out, cbor_major::kUnsigned, version);
  cbor_write_text(out, "launcher");
  append_file_entry_cbor(out, launcher);
  return out;
}

Bytes launcher_update_envelope(const ReleaseKeys& keys, std::uint32_t format, std::uint64_t version,
                               const FileEntry& launcher) {
  return seal_envelope(keys, launcher_update_body(format, version, launcher));
}

namespace {
void write_bytes(const std::filesystem::path& path, const Bytes& bytes) {
  write_file(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
}  // namespace

PublishFolder::PublishFolder(std::filesystem::path dir, ReleaseKeys keys)
    : dir_(std::move(dir)), keys_(keys), manifest_(test_manifest()) {
  std::filesystem::create_directories(dir_ / "objects");
}

const FileEntry& PublishFolder::add_file(const std::string& path, ByteSource plain, ObjectOptions options) {
  options.path = path;
  manifest_.files.push_back(build_published_object(std::move(plain), std::move(options)));
  if (manifest_.game_exe.empty()) manifest_.game_exe = path;
  return manifest_.files.back();
}

FileEntry PublishFolder::build_published_object(ByteSource plain, ObjectOptions options) {
  options.seed = next_seed_++;
  // The object's name comes from its seed; build into a scratch name, then
  // move it under the name the entry carries.
  const auto scratch = dir_ / fmt::format("building-{}.qvp", options.seed);
  BuiltObject built = build_object(scratch, std::move(plain), options);
  std::filesystem::create_directories((dir_ / built.entry.object).parent_path());
  std::filesystem::rename(scratch, dir_ / built.entry.object);
  return built.entry;
}

void PublishFolder::write_manifest(const EnvelopeOptions& options) {
  write_bytes(dir_ / "manifest.qvm", manifest_envelope(keys_, manifest_, options));
}

FileEntry PublishFolder::write_launcher_update(std::uint64_t version, ByteSource launcher, ObjectOptions options) {
  options.path = "Launcher.exe";
  FileEntry entry = build_published_object(std::move(launcher), std::move(options));
  write_bytes(dir_ / "launcher-update.qvm", launcher_update_envelope(keys_, 1, version, entry));
  return entry;
}

}  // namespace qv::test
