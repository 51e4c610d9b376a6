// Sine and cosine for builds without a C runtime (the kernel driver).
//
// Argument reduction is exact: |x| is multiplied by enough bits of 2/pi, as integers, to
// know x mod pi/2 to well over 100 bits for any finite double, so huge angles sent by a
// client give honest results instead of garbage. The reduced argument r = hi + lo, |r| <=
// pi/4, goes to the classic minimax polynomials for sin and cos on [-pi/4, pi/4].
#include "freestanding_math.h"

#include <stdint.h>

namespace {

// 2/pi in 24-bit chunks after the binary point, most significant first. 54 chunks cover the
// largest double exponent with ten chunks of margin below the integer part.
const uint32_t kTwoOverPiChunks[54] = {
    0xA2F983, 0x6E4E44, 0x1529FC, 0x2757D1, 0xF534DD, 0xC0DB62,  //
    0x95993C, 0x439041, 0xFE5163, 0xABDEBB, 0xC561B7, 0x246E3A,  //
    0x424DD2, 0xE00649, 0x2EEA09, 0xD1921C, 0xFE1DEB, 0x1CB129,  //
    0xA73EE8, 0x8235F5, 0x2EBB44, 0x84E99C, 0x7026B4, 0x5F7E41,  //
    0x3991D6, 0x398353, 0x39F49C, 0x845F8B, 0xBDF928, 0x3B1FF8,  //
    0x97FFDE, 0x05980F, 0xEF2F11, 0x8B5A0A, 0x6D1F6D, 0x367ECF,  //
    0x27CB09, 0xB74F46, 0x3F669E, 0x5FEA2D, 0x7527BA, 0xC7EBE5,  //
    0xF17B3D, 0x0739F7, 0x8A5292, 0xEA6BFB, 0x5FB11F, 0x8D5D08,  //
    0x560330, 0x46FC7B, 0x6BABF0, 0xCFBC20, 0x9AF436, 0x1DA9E3,
};
constexpr int kWindowChunks = 10;  // chunks of 2/pi multiplied per reduction

// pi/2 as a double-double.
constexpr double kHalfPiHi = 1.5707963267948966;
constexpr double kHalfPiLo = 6.123233995736766e-17;

// Minimax coefficients of sin(x) = x + S1 x^3 + ... + S6 x^13 and
// cos(x) = 1 - x^2/2 + C1 x^4 + ... + C6 x^14 on [-pi/4, pi/4].
constexpr double S1 = -1.66666666666666324348e-01;
constexpr double S2 = 8.33333333332248946124e-03;
constexpr double S3 = -1.98412698298579493134e-04;
constexpr double S4 = 2.75573137070700676789e-06;
constexpr double S5 = -2.50507602534068634195e-08;
constexpr double S6 = 1.58969099521155010221e-10;
constexpr double C1 = 4.16666666666666019037e-02;
constexpr double C2 = -1.38888888888741095749e-03;
constexpr double C3 = 2.48015872894767294178e-05;
constexpr double C4 = -2.75573143513906633035e-07;
constexpr double C5 = 2.08757232129817482790e-09;
constexpr double C6 = -1.13596475577881948265e-11;

uint64_t Bits(double x) {
    uint64_t bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    return bits;
}

double FromBits(uint64_t bits) {
    double x;
    __builtin_memcpy(&x, &bits, sizeof x);
    return x;
}

// 2^e for -1022 <= e <= 1023, exactly.
double PowerOfTwo(int e) {
    return FromBits(static_cast<uint64_t>(e + 1023) << 52);
}

// An integer below 2^53 as a double, exactly, without a 64-bit conversion helper on i686.
double ExactDouble(uint64_t v) {
    return static_cast<double>(static_cast<uint32_t>(v >> 32)) * 4294967296.0 +
           static_cast<double>(static_cast<uint32_t>(v));
}

// sin(x + y) for |x + y| <= pi/4, y a tiny correction of x.
double KernelSin(double x, double y) {
    const double z = x * x;
    const double v = z * x;
    const double r = S2 + z * (S3 + z * (S4 + z * (S5 + z * S6)));
    if (y == 0.0)
        return x + v * (S1 + z * r);
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

// cos(x + y) for |x + y| <= pi/4.
double KernelCos(double x, double y) {
    const double z = x * x;
    const double r = z * (C1 + z * (C2 + z * (C3 + z * (C4 + z * (C5 + z * C6)))));
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * r - x * y));
}

// Bits [pos, pos + count) of a little-endian array of 24-bit limbs; 0 <= pos, count <= 64.
uint64_t LimbBits(const uint64_t* limbs, int limbCount, int pos, int count) {
    uint64_t result = 0;
    int top = pos + count;  // one past the highest bit still wanted
    while (top > pos) {
        const int limb = (top - 1) / 24;
        const int low = limb * 24 > pos ? limb * 24 : pos;
        const int take = top - low;
        const uint64_t value = limb < limbCount ? limbs[limb] >> (low - limb * 24) : 0;
        result = (result << take) | (value & ((uint64_t{1} << take) - 1));
        top = low;
    }
    return result;
}

// Splits a double for Dekker's exact product.
void Split(double a, double* hi, double* lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    *hi = c - (c - a);
    *lo = a - *hi;
}

// x mod pi/2 for finite |x| > pi/4: returns the quadrant (0..3) and r = *hi + *lo.
int ReduceQuadrant(double x, double* hi, double* lo) {
    const uint64_t bits = Bits(x);
    const bool negative = (bits >> 63) != 0;
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int e = exponent - 1075;  // |x| = mantissa * 2^e

    // Chunks before `first` contribute whole multiples of 4 to |x| * 2/pi: skip them.
    const int first = e >= 2 ? (e - 2) / 24 : 0;
    uint64_t m[3] = {mantissa & 0xFFFFFF, (mantissa >> 24) & 0xFFFFFF, mantissa >> 48};
    uint64_t w[kWindowChunks];
    for (int j = 0; j < kWindowChunks; ++j)
        w[j] = kTwoOverPiChunks[first + kWindowChunks - 1 - j];

    // s = mantissa * window, in 24-bit limbs.
    constexpr int kLimbs = 3 + kWindowChunks + 1;
    uint64_t s[kLimbs] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < kWindowChunks; ++j)
            s[i + j] += m[i] * w[j];
    for (int k = 0; k + 1 < kLimbs; ++k) {
        s[k + 1] += s[k] >> 24;
        s[k] &= 0xFFFFFF;
    }

    // |x| * 2/pi (mod 4) = s * 2^-frac.
    const int frac = 24 * (first + kWindowChunks) - e;
    int quadrant = static_cast<int>(LimbBits(s, kLimbs, frac, 2));
    uint64_t fHi = LimbBits(s, kLimbs, frac - 64, 64);
    uint64_t fLo = LimbBits(s, kLimbs, frac - 128, 64);
    bool flip = false;
    if (fHi >> 63) {  // fraction >= 1/2: take the next quadrant and a negative remainder
        quadrant = (quadrant + 1) & 3;
        fLo = ~fLo + 1;
        fHi = ~fHi + (fLo == 0 ? 1 : 0);
        flip = true;
    }

    // Normalise the 128-bit fraction and take two 53-bit pieces of it.
    int shift = 0;
    while (shift < 128 && !(fHi >> 63)) {
        fHi = (fHi << 1) | (fLo >> 63);
        fLo <<= 1;
        ++shift;
    }
    double dHi = 0.0;
    double dLo = 0.0;
    if (shift < 128) {
        const uint64_t a = fHi >> 11;
        const uint64_t b = ((fHi & 0x7FF) << 42) | (fLo >> 22);
        dHi = ExactDouble(a) * PowerOfTwo(-53 - shift);
        dLo = ExactDouble(b) * PowerOfTwo(-106 - shift);
    }

    // r = f * pi/2 in double-double (Dekker's product).
    double ah, al, bh, bl;
    Split(dHi, &ah, &al);
    Split(kHalfPiHi, &bh, &bl);
    const double p = dHi * kHalfPiHi;
    const double err = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
    const double tail = err + (dHi * kHalfPiLo + dLo * kHalfPiHi);
    double rHi = p + tail;
    double rLo = tail - (rHi - p);

    if (flip != negative) {
        rHi = -rHi;
        rLo = -rLo;
    }
    if (negative)
        quadrant = (4 - quadrant) & 3;
    *hi = rHi;
    *lo = rLo;
    return quadrant;
}

constexpr double kQuarterPi = 7.85398163397448278999e-01;

}  // namespace

double FreestandingSin(double x) {
    const double ax = x < 0 ? -x : x;
    if (!(ax <= 1.7976931348623157e308))
        return x - x;  // NaN or infinity gives NaN
    if (ax <= kQuarterPi)
        return ax < 7.450580596923828e-09 ? x : KernelSin(x, 0.0);
    double hi, lo;
    switch (ReduceQuadrant(x, &hi, &lo)) {
        case 0:
            return KernelSin(hi, lo);
        case 1:
            return KernelCos(hi, lo);
        case 2:
            return -KernelSin(hi, lo);
        default:
            return -KernelCos(hi, lo);
    }
}

double FreestandingCos(double x) {
    const double ax = x < 0 ? -x : x;
    if (!(ax <= 1.7976931348623157e308))
        return x - x;
    if (ax <= kQuarterPi)
        return ax < 7.450580596923828e-09 ? 1.0 : KernelCos(x, 0.0);
    double hi, lo;
    switch (ReduceQuadrant(x, &hi, &lo)) {
        case 0:
            return KernelCos(hi, lo);
        case 1:
            return -KernelSin(hi, lo);
        case 2:
            return -KernelCos(hi, lo);
        default:
            return KernelSin(hi, lo);
    }
}
