// QUORVEX_CLONED builds a function for AVX-512 (x86-64-v4), AVX2 and the baseline, the
// loader picking the one the processor supports: for loops the compiler vectorises.
// Address-sanitized builds get one version, as the sanitizer does not follow the clones.
#pragma once

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define QUORVEX_CLONED __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define QUORVEX_CLONED
#endif
