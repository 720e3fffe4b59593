#include "core/formats/ed25519_checks.hpp"

#include <openssl/bn.h>

#include <algorithm>
#include <array>
#include <memory>

namespace qv {
namespace {

struct BnDeleter {
  void operator()(BIGNUM* n) const { BN_free(n); }
};
struct CtxDeleter {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

Bn bn() { return Bn(BN_new()); }

// Little-endian bytes to a number.
Bn from_le(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 32> be{};
  std::reverse_copy(bytes.begin(), bytes.end(), be.begin());
  return Bn(BN_bin2bn(be.data(), static_cast<int>(be.size()), nullptr));
}

Bn from_dec(const char* text) {
  BIGNUM* n = nullptr;
  BN_dec2bn(&n, text);
  return Bn(n);
}

}  // namespace

bool ed25519_point_decodes(std::span<const std::uint8_t, 32> encoded) {
  std::array<std::uint8_t, 32> y_bytes;
  std::copy(encoded.begin(), encoded.end(), y_bytes.begin());
  const bool x_sign = (y_bytes[31] & 0x80) != 0;
  y_bytes[31] &= 0x7F;

  std::unique_ptr<BN_CTX, CtxDeleter> ctx(BN_CTX_new());
  // p = 2^255 - 19; d = -121665/121666 mod p.
  Bn p = from_dec("57896044618658097711785492504343953926634992332820282019728792003956564819949");
  Bn d = from_dec("37095705934669439343138083508754565189542113879843219016388785533085940283555");
  Bn y = from_le(y_bytes);
  if (!ctx || !p || !d || !y) return false;
  if (BN_cmp(y.get(), p.get()) >= 0) return false;

  // x^2 = (y^2 - 1) / (d y^2 + 1); a point exists when that is zero or a square.
  Bn y2 = bn(), u = bn(), v = bn(), v_inv = bn(), w = bn(), e = bn(), legendre = bn();
  BN_mod_sqr(y2.get(), y.get(), p.get(), ctx.get());
  BN_mod_sub(u.get(), y2.get(), BN_value_one(), p.get(), ctx.get());
  BN_mod_mul(v.get(), d.get(), y2.get(), p.get(), ctx.get());
  BN_mod_add(v.get(), v.get(), BN_value_one(), p.get(), ctx.get());
  if (BN_mod_inverse(v_inv.get(), v.get(), p.get(), ctx.get()) == nullptr) return false;
  BN_mod_mul(w.get(), u.get(), v_inv.get(), p.get(), ctx.get());
  if (BN_is_zero(w.get())) return !x_sign;  // x = 0 has no negative form
  BN_sub(e.get(), p.get(), BN_value_one());
  BN_rshift1(e.get(), e.get());
  BN_mod_exp(legendre.get(), w.get(), e.get(), p.get(), ctx.get());
  return BN_is_one(legendre.get());
}

bool ed25519_scalar_is_canonical(std::span<const std::uint8_t, 32> scalar) {
  // The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
  static constexpr std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                              0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  for (int i = 31; i >= 0; --i) {
    if (scalar[static_cast<std::size_t>(i)] != kOrder[i]) return scalar[static_cast<std::size_t>(i)] < kOrder[i];
  }
  return false;  // equal to L
}

}  // namespace qv
