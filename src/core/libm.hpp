#pragma once

// exp, log and pow from the C library's libm, whichever toolchain builds the
// library, so that every build rounds these functions alike.
//
// Some cross toolchains (those that target an old glibc from a newer host)
// link their own compiler-runtime copies of exp and log ahead of libm, and
// those differ from libm in the last bits. With TARNWICK_VERSIONED_LIBM the
// calls name libm's symbols by version instead; the x86-64 base version
// GLIBC_2.2.5 exists in every glibc, so the library loads on the oldest ones.
// Other builds call the standard functions, which already reach libm.

#include <cmath>

#if defined(TARNWICK_VERSIONED_LIBM)
#if !(defined(__x86_64__) && defined(__linux__))
#error "TARNWICK_VERSIONED_LIBM names glibc's x86-64 symbol versions"
#endif
extern "C" {
double tarnwick_libm_exp(double) __asm__("exp@GLIBC_2.2.5");
double tarnwick_libm_log(double) __asm__("log@GLIBC_2.2.5");
double tarnwick_libm_pow(double, double) __asm__("pow@GLIBC_2.2.5");
}
#endif

namespace tarnwick::libm {

#if defined(TARNWICK_VERSIONED_LIBM)
inline double exp(double x) { return tarnwick_libm_exp(x); }
inline double log(double x) { return tarnwick_libm_log(x); }
inline double pow(double x, double y) { return tarnwick_libm_pow(x, y); }
#else
inline double exp(double x) { return std::exp(x); }
inline double log(double x) { return std::log(x); }
inline double pow(double x, double y) { return std::pow(x, y); }
#endif

}  // namespace tarnwick::libm
