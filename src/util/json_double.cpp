#include "util/json_double.h"

#include <bit>
#include <cmath>
#include <cstdint>

// Grisu2 after Loitsch, "Printing Floating-Point Numbers Quickly and Accurately with
// Integers" (PLDI 2010), with the boundaries, cached powers (alpha = -60, gamma = -32)
// and rounding of the widely used reference form: the bytes must match what the
// heartbeat has always sent, so every step is that form's, not merely equivalent.

namespace vela::JSONDouble {
namespace {

// f * 2^e
struct DiyFp {
  std::uint64_t f;
  int e;
};

// The upper 64 bits of the 128-bit product, rounded half up.
DiyFp multiply(DiyFp x, DiyFp y) {
  const unsigned __int128 p = static_cast<unsigned __int128>(x.f) * y.f;
  const auto high = static_cast<std::uint64_t>(p >> 64);
  const auto low = static_cast<std::uint64_t>(p);
  return {high + (low >> 63), x.e + y.e + 64};
}

DiyFp normalized(DiyFp x) {
  const int shift = std::countl_zero(x.f);
  return {x.f << shift, x.e - shift};
}

constexpr int kAlpha = -60;

// 10^k for k = -300, -292, ..., 324 as normalized 64-bit significands (rounded); the
// binary exponent of each is floor(k * log2(10)) - 63.
constexpr std::uint64_t kPowersOfTen[] = {
    0xAB70FE17C79AC6CA, 0xFF77B1FCBEBCDC4F, 0xBE5691EF416BD60C, 0x8DD01FAD907FFC3C,
    0xD3515C2831559A83, 0x9D71AC8FADA6C9B5, 0xEA9C227723EE8BCB, 0xAECC49914078536D,
    0x823C12795DB6CE57, 0xC21094364DFB5637, 0x9096EA6F3848984F, 0xD77485CB25823AC7,
    0xA086CFCD97BF97F4, 0xEF340A98172AACE5, 0xB23867FB2A35B28E, 0x84C8D4DFD2C63F3B,
    0xC5DD44271AD3CDBA, 0x936B9FCEBB25C996, 0xDBAC6C247D62A584, 0xA3AB66580D5FDAF6,
    0xF3E2F893DEC3F126, 0xB5B5ADA8AAFF80B8, 0x87625F056C7C4A8B, 0xC9BCFF6034C13053,
    0x964E858C91BA2655, 0xDFF9772470297EBD, 0xA6DFBD9FB8E5B88F, 0xF8A95FCF88747D94,
    0xB94470938FA89BCF, 0x8A08F0F8BF0F156B, 0xCDB02555653131B6, 0x993FE2C6D07B7FAC,
    0xE45C10C42A2B3B06, 0xAA242499697392D3, 0xFD87B5F28300CA0E, 0xBCE5086492111AEB,
    0x8CBCCC096F5088CC, 0xD1B71758E219652C, 0x9C40000000000000, 0xE8D4A51000000000,
    0xAD78EBC5AC620000, 0x813F3978F8940984, 0xC097CE7BC90715B3, 0x8F7E32CE7BEA5C70,
    0xD5D238A4ABE98068, 0x9F4F2726179A2245, 0xED63A231D4C4FB27, 0xB0DE65388CC8ADA8,
    0x83C7088E1AAB65DB, 0xC45D1DF942711D9A, 0x924D692CA61BE758, 0xDA01EE641A708DEA,
    0xA26DA3999AEF774A, 0xF209787BB47D6B85, 0xB454E4A179DD1877, 0x865B86925B9BC5C2,
    0xC83553C5C8965D3D, 0x952AB45CFA97A0B3, 0xDE469FBD99A05FE3, 0xA59BC234DB398C25,
    0xF6C69A72A3989F5C, 0xB7DCBF5354E9BECE, 0x88FCF317F22241E2, 0xCC20CE9BD35C78A5,
    0x98165AF37B2153DF, 0xE2A0B5DC971F303A, 0xA8D9D1535CE3B396, 0xFB9B7CD9A4A7443C,
    0xBB764C4CA7A44410, 0x8BAB8EEFB6409C1A, 0xD01FEF10A657842C, 0x9B10A4E5E9913129,
    0xE7109BFBA19C0C9D, 0xAC2820D9623BF429, 0x80444B5E7AA7CF85, 0xBF21E44003ACDD2D,
    0x8E679C2F5E44FF8F, 0xD433179D9C8CB841, 0x9E19DB92B4E31BA9,
};

// The cached 10^k (and k) that brings a product with w = f * 2^e into [alpha, gamma].
DiyFp cachedPower(int e, int& k) {
  const int f = kAlpha - e - 1;
  const int estimate = (f * 78913) / (1 << 18) + static_cast<int>(f > 0);
  const int index = (300 + estimate + 7) / 8;
  k = -300 + 8 * index;
  return {kPowersOfTen[index], ((k * 1741647) >> 19) - 63};
}

struct Digits {
  char text[24];
  int length = 0;
  int exponent = 0;  // value = text * 10^exponent
};

// Moves the last digit down while that brings the digits closer to w and stays in range.
void roundTowardW(Digits& d, std::uint64_t dist, std::uint64_t delta, std::uint64_t rest,
                  std::uint64_t tenK) {
  while (rest < dist && delta - rest >= tenK &&
         (rest + tenK < dist || dist - rest > rest + tenK - dist)) {
    --d.text[d.length - 1];
    rest += tenK;
  }
}

// Digits of a value between low and high (which share an exponent in [-60, -32]),
// rounded toward w.
void generate(Digits& d, DiyFp low, DiyFp w, DiyFp high) {
  std::uint64_t delta = high.f - low.f;
  std::uint64_t dist = high.f - w.f;
  const int shift = -high.e;
  const std::uint64_t one = std::uint64_t{1} << shift;
  auto integral = static_cast<std::uint32_t>(high.f >> shift);
  std::uint64_t fraction = high.f & (one - 1);

  std::uint32_t pow10 = 1;
  int n = 1;
  while (n < 10 && integral >= pow10 * 10) {
    pow10 *= 10;
    ++n;
  }
  while (n > 0) {
    d.text[d.length++] = static_cast<char>('0' + integral / pow10);
    integral %= pow10;
    --n;
    const std::uint64_t rest = (std::uint64_t{integral} << shift) + fraction;
    if (rest <= delta) {
      d.exponent += n;
      roundTowardW(d, dist, delta, rest, std::uint64_t{pow10} << shift);
      return;
    }
    pow10 /= 10;
  }
  int m = 0;
  for (;;) {
    fraction *= 10;
    d.text[d.length++] = static_cast<char>('0' + (fraction >> shift));
    fraction &= one - 1;
    ++m;
    delta *= 10;
    dist *= 10;
    if (fraction <= delta) break;
  }
  d.exponent -= m;
  roundTowardW(d, dist, delta, fraction, one);
}

// REQUIRES: v finite and positive.
Digits grisu2(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t hidden = std::uint64_t{1} << 52;
  const std::uint64_t biased = bits >> 52;
  const std::uint64_t fraction = bits & (hidden - 1);
  const DiyFp exact = biased == 0 ? DiyFp{fraction, -1074}
                                  : DiyFp{fraction + hidden, static_cast<int>(biased) - 1075};
  // The boundaries lie halfway to the neighbours; below a power of two the lower
  // neighbour is twice as close.
  const DiyFp upper = normalized({2 * exact.f + 1, exact.e - 1});
  const DiyFp lowerRaw = fraction == 0 && biased > 1 ? DiyFp{4 * exact.f - 1, exact.e - 2}
                                                     : DiyFp{2 * exact.f - 1, exact.e - 1};
  const DiyFp lower{lowerRaw.f << (lowerRaw.e - upper.e), upper.e};

  int k = 0;
  const DiyFp c = cachedPower(upper.e, k);
  const DiyFp w = multiply(normalized(exact), c);
  const DiyFp low = multiply(lower, c);
  const DiyFp high = multiply(upper, c);
  Digits d;
  d.exponent = -k;
  generate(d, {low.f + 1, low.e}, w, {high.f - 1, high.e});
  return d;
}

void appendExponent(std::string& out, int e) {
  out += e < 0 ? '-' : '+';
  const int magnitude = e < 0 ? -e : e;
  if (magnitude >= 100) out += static_cast<char>('0' + magnitude / 100);
  out += static_cast<char>('0' + magnitude / 10 % 10);
  out += static_cast<char>('0' + magnitude % 10);
}

}  // namespace

std::string text(double d) {
  std::string out;
  if (std::signbit(d)) {
    out += '-';
    d = -d;
  }
  if (d == 0) return out.append("0.0");
  const Digits digits = grisu2(d);
  const std::string_view all(digits.text, static_cast<std::size_t>(digits.length));
  const int k = digits.length;
  const int n = k + digits.exponent;  // digits before the decimal point
  const auto count = [](int c) { return static_cast<std::size_t>(c); };
  constexpr int kMinExponent = -4;
  constexpr int kMaxExponent = 15;
  if (k <= n && n <= kMaxExponent) {
    out.append(all).append(count(n - k), '0').append(".0");
  } else if (0 < n && n <= kMaxExponent) {
    out.append(all.substr(0, count(n))).append(".").append(all.substr(count(n)));
  } else if (kMinExponent < n && n <= 0) {
    out.append("0.").append(count(-n), '0').append(all);
  } else {
    out += all[0];
    if (k > 1) out.append(".").append(all.substr(1));
    out += 'e';
    appendExponent(out, n - 1);
  }
  return out;
}

JSONValue value(double d) {
  if (!std::isfinite(d)) return JSONValue(nullptr);
  return JSONValue::number(text(d));
}

}  // namespace vela::JSONDouble
