#include "core/formats/envelope.hpp"

#include <gtest/gtest.h>

#include "core/formats/ed25519_checks.hpp"
#include "core/formats/manifest_codec.hpp"
#include "support/release_builder.hpp"

namespace qv {
namespace {

using test::Bytes;
using test::Key32;
using test::ReleaseKeys;

std::string outcome(const Result<std::vector<std::uint8_t>>& r) { return r ? "ok" : r.error().to_string(); }

const std::string kBadEquation =
    "signature error: Verification equation was not satisfied: Verification equation was not satisfied";
const std::string kHighBit = "signature error: Cannot use scalar with high-bit set: Cannot use scalar with high-bit set";
const std::string kNotAPoint = "signature error: Cannot decompress Edwards point: Cannot decompress Edwards point";

class Envelope : public ::testing::Test {
 protected:
  ReleaseKeys keys = ReleaseKeys::from_seed(3);
  Result<std::vector<std::uint8_t>> open(const Bytes& envelope) {
    return open_envelope(envelope, keys.public_key, keys.manifest_key);
  }
  // Replaces the signature of `envelope` with one made from raw scalars.
  void sign_with(Bytes& envelope, const Key32& a, const Key32& public_key, const Key32& r) {
    const std::size_t m = envelope.size() - 64;
    auto sig = test::sign_raw(a, public_key, r, std::span(envelope.data(), m));
    std::copy(sig.begin(), sig.end(), envelope.begin() + static_cast<std::ptrdiff_t>(m));
  }
};

TEST_F(Envelope, SizeBoundsAndMagic) {
  const Bytes empty = test::seal_envelope(keys, {});
  ASSERT_EQ(empty.size(), 112u);
  auto opened = open(empty);
  ASSERT_TRUE(opened) << opened.error().to_string();
  EXPECT_TRUE(opened->empty());

  EXPECT_EQ(outcome(open(Bytes(empty.begin(), empty.end() - 1))), "invalid envelope");
  const Bytes largest = test::seal_envelope(keys, Bytes(kEnvelopeMaxBytes - 112, 0x5a));
  ASSERT_EQ(largest.size(), kEnvelopeMaxBytes);
  auto big = open(largest);
  ASSERT_TRUE(big) << big.error().to_string();
  EXPECT_EQ(big->size(), kEnvelopeMaxBytes - 112);
  Bytes over(kEnvelopeMaxBytes + 1, 0);
  std::copy_n("QVMAN001", 8, over.begin());
  EXPECT_EQ(outcome(open(over)), "invalid envelope");

  test::EnvelopeOptions object_magic;
  object_magic.magic = {'Q', 'V', 'P', 'A', 'T', '0', '0', '1'};
  EXPECT_EQ(outcome(open(test::seal_envelope(keys, Bytes{1, 2, 3}, object_magic))), "invalid envelope");
  // The size rule comes before any key is looked at.
  Key32 not_a_point{};
  not_a_point[0] = 2;
  EXPECT_EQ(outcome(open_envelope(Bytes(111, 0), not_a_point, keys.manifest_key)), "invalid envelope");
}

TEST_F(Envelope, EveryByteBeforeTheSignatureIsCovered) {
  const Bytes plain = {'h', 'e', 'l', 'l', 'o'};
  const Bytes good = test::seal_envelope(keys, plain);
  ASSERT_EQ(*open(good), plain);
  for (std::size_t i = 8; i < good.size() - 64; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(outcome(open(bad)), kBadEquation) << "byte " << i;
  }
  Bytes bad_r = good;
  bad_r[good.size() - 64] ^= 0x01;
  EXPECT_NE(outcome(open(bad_r)), "ok");
}

TEST_F(Envelope, DecryptionFailures) {
  test::EnvelopeOptions other_key;
  other_key.encryption_key = Key32{9};
  EXPECT_EQ(outcome(open(test::seal_envelope(keys, Bytes{1}, other_key))), "manifest authentication failed");
  test::EnvelopeOptions other_ad;
  other_ad.associated_data = Bytes{'Q', 'V', 'M', 'A', 'N', '0', '0', '2'};
  EXPECT_EQ(outcome(open(test::seal_envelope(keys, Bytes{1}, other_ad))), "manifest authentication failed");
  EXPECT_EQ(outcome(open_envelope(test::seal_envelope(keys, Bytes{1}), keys.public_key, Key32{1})),
            "manifest authentication failed");
  // Another signer's envelope fails on the signature, before decryption.
  EXPECT_EQ(outcome(open(test::seal_envelope(ReleaseKeys::from_seed(4), Bytes{1}))), kBadEquation);
}

TEST_F(Envelope, StrictSignatureRules) {
  Bytes envelope = test::seal_envelope(keys, Bytes{7, 7});
  const std::size_t s_at = envelope.size() - 32;

  // S with the top bit set, and S + L (canonical bits, too large a value).
  Bytes high = envelope;
  high.back() |= 0x80;
  EXPECT_EQ(outcome(open(high)), kHighBit);
  Bytes plus_order = envelope;
  Key32 s;
  std::copy(plus_order.begin() + static_cast<std::ptrdiff_t>(s_at), plus_order.end(), s.begin());
  const Key32 s_plus_l = test::add_group_order(s);
  ASSERT_EQ(s_plus_l[31] & 0x80, 0);
  std::copy(s_plus_l.begin(), s_plus_l.end(), plus_order.begin() + static_cast<std::ptrdiff_t>(s_at));
  EXPECT_EQ(outcome(open(plus_order)), kHighBit);

  // The identity as R: S = k*a makes [S]B - [k]A = identity = R, which only a
  // verifier that refuses small-order R catches.
  Key32 a{};
  a[0] = 5;
  const Key32 A = test::base_mul(a);
  Bytes identity_r = test::seal_envelope(keys, Bytes{1});
  sign_with(identity_r, a, A, Key32{});  // r = 0 gives R = identity
  EXPECT_EQ(outcome(open_envelope(identity_r, A, keys.manifest_key)), kBadEquation);
  // The same scalars with an ordinary r verify, so the refusal is R's.
  Key32 r{};
  r[0] = 11;
  Bytes plain_r = identity_r;
  sign_with(plain_r, a, A, r);
  EXPECT_EQ(outcome(open_envelope(plain_r, A, keys.manifest_key)), "ok");
}

TEST_F(Envelope, PublicKeyRules) {
  const Bytes envelope = test::seal_envelope(keys, Bytes{1});
  // 32 zero bytes decode (a point of small order) and then fail verification.
  EXPECT_EQ(outcome(open_envelope(envelope, Key32{}, keys.manifest_key)), kBadEquation);
  Key32 not_a_point{};
  not_a_point[0] = 2;  // y = 2 has no x on the curve
  ASSERT_FALSE(ed25519_point_decodes(not_a_point));
  EXPECT_EQ(outcome(open_envelope(envelope, not_a_point, keys.manifest_key)), kNotAPoint);

  // A mixed-order key A = [a]B + T: a signature made for it verifies without
  // the cofactor only when k*T vanishes, i.e. when k is a multiple of 8.
  Key32 a{};
  a[0] = 9;
  const Key32 mixed = test::point_add(test::base_mul(a), test::order8_point());
  int accepted = 0, refused = 0;
  for (std::uint8_t i = 1; i < 64 && (accepted == 0 || refused == 0); ++i) {
    Bytes e = test::seal_envelope(keys, Bytes{i});
    Key32 r{};
    r[0] = i;
    const std::size_t m = e.size() - 64;
    const Key32 k = test::challenge(test::base_mul(r), mixed, std::span(e.data(), m));
    sign_with(e, a, mixed, r);
    auto opened = open_envelope(e, mixed, keys.manifest_key);
    if (k[0] % 8 == 0) {
      EXPECT_EQ(outcome(opened), "ok") << "k multiple of 8";
      ++accepted;
    } else {
      EXPECT_EQ(outcome(opened), kBadEquation);
      ++refused;
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

TEST(Ed25519Checks, ScalarCanonicalAtTheGroupOrder) {
  Key32 zero{};
  const Key32 order = test::add_group_order(zero);
  EXPECT_FALSE(ed25519_scalar_is_canonical(order));
  Key32 below = order;
  below[0] -= 1;
  EXPECT_TRUE(ed25519_scalar_is_canonical(below));
  EXPECT_TRUE(ed25519_scalar_is_canonical(zero));
  // y = p (non-canonical field element) does not decode; the base point does.
  Key32 p = {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
             0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
  EXPECT_FALSE(ed25519_point_decodes(p));
  Key32 one{};
  one[0] = 1;
  EXPECT_TRUE(ed25519_point_decodes(test::base_mul(one)));
  EXPECT_TRUE(ed25519_point_decodes(test::order8_point()));
  Key32 negative_zero_x{};
  negative_zero_x[0] = 1;
  negative_zero_x[31] = 0x80;  // y = 1 gives x = 0, which has no negative form
  EXPECT_FALSE(ed25519_point_decodes(negative_zero_x));
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

class OpenManifest : public ::testing::Test {
 protected:
  test::ReleaseKeys keys = test::ReleaseKeys::from_seed(5);
  Manifest manifest = [] {
    FileEntry e = test::sample_entry("game.exe");
    e.algorithm = HashAlgorithm::Blake3;
    e.object = "objects/" + std::string(32, 'A') + ".qvp";
    e.key[0] = 1;
    e.nonce[18] = 2;
    Manifest m = test::test_manifest({e}, 9);
    m.delete_ = {"old/file"};
    m.game_args = {"-window", "\xe0\xb8\x81"};
    return m;
  }();
  std::string outcome(const test::Bytes& envelope) {
    auto m = open_manifest(envelope, keys.public_key, keys.manifest_key);
    return m ? "ok" : m.error().to_string();
  }
};

TEST_F(OpenManifest, DecodesAndValidates) {
  auto opened = open_manifest(test::manifest_envelope(keys, manifest), keys.public_key, keys.manifest_key);
  ASSERT_TRUE(opened) << opened.error().to_string();
  EXPECT_EQ(*opened, manifest);
}

TEST_F(OpenManifest, OrderOfFailures) {
  // An empty body passes the envelope and ends the decoder at once.
  EXPECT_EQ(outcome(test::seal_envelope(keys, {})),
            R"(Io(Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }))");
  auto encoded = encode_manifest_cbor(manifest).value();
  for (std::uint8_t extra : {0x00, 0xc0, 0xff}) {  // a byte, a tag, a break
    auto longer = encoded;
    longer.push_back(extra);
    EXPECT_EQ(outcome(test::seal_envelope(keys, longer)), "trailing CBOR");
  }
  Manifest unmanaged = manifest;
  unmanaged.game_exe = "other.exe";
  EXPECT_EQ(outcome(test::manifest_envelope(keys, unmanaged)), "game executable must be managed");
  // Signature before decryption before decoding before validation.
  auto tampered = test::manifest_envelope(keys, unmanaged);
  tampered[40] ^= 1;
  EXPECT_EQ(outcome(tampered), kBadEquation);
}

}  // namespace
}  // namespace qv
