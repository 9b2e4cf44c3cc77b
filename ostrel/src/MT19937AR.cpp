// The MT19937 Mersenne Twister of Matsumoto and Nishimura (ACM TOMACS 8, 3,
// 1998) with the improved seeding of 2002: a 624-word state, period 2^19937-1.
// Its output equals std::mt19937 for the same seed.
#include "OSTREL-math.h"

namespace {

constexpr int N = 624;
constexpr int M = 397;
constexpr unsigned long MATRIX_A = 0x9908b0dfUL;    // constant vector a
constexpr unsigned long UPPER_MASK = 0x80000000UL;  // most significant w-r bits
constexpr unsigned long LOWER_MASK = 0x7fffffffUL;  // least significant r bits

unsigned long mt[N];
int mti = N + 1;  // N + 1: not yet seeded

}  // namespace

void init_genrand(unsigned long s) {
  mt[0] = s & 0xffffffffUL;
  for (mti = 1; mti < N; mti++) {
    // Knuth TAOCP vol. 2, 3rd ed., p. 106: multiplier 1812433253.
    mt[mti] = (1812433253UL * (mt[mti - 1] ^ (mt[mti - 1] >> 30)) + (unsigned long)mti);
    mt[mti] &= 0xffffffffUL;
  }
}

unsigned long genrand_int32() {
  static const unsigned long mag01[2] = {0x0UL, MATRIX_A};
  unsigned long y;
  if (mti >= N) {  // generate N words at one time
    if (mti == N + 1)
      init_genrand(5489UL);
    int kk;
    for (kk = 0; kk < N - M; kk++) {
      y = (mt[kk] & UPPER_MASK) | (mt[kk + 1] & LOWER_MASK);
      mt[kk] = mt[kk + M] ^ (y >> 1) ^ mag01[y & 0x1UL];
    }
    for (; kk < N - 1; kk++) {
      y = (mt[kk] & UPPER_MASK) | (mt[kk + 1] & LOWER_MASK);
      mt[kk] = mt[kk + (M - N)] ^ (y >> 1) ^ mag01[y & 0x1UL];
    }
    y = (mt[N - 1] & UPPER_MASK) | (mt[0] & LOWER_MASK);
    mt[N - 1] = mt[M - 1] ^ (y >> 1) ^ mag01[y & 0x1UL];
    mti = 0;
  }
  y = mt[mti++];
  // Tempering.
  y ^= (y >> 11);
  y ^= (y << 7) & 0x9d2c5680UL;
  y ^= (y << 15) & 0xefc60000UL;
  y ^= (y >> 18);
  return y & 0xffffffffUL;
}

double genrand_real1() {
  return (double)genrand_int32() * (1.0 / 4294967295.0);  // divided by 2^32-1
}
