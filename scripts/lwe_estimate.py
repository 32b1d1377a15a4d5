"""How hard the LWE instances of quorvex's PIR profiles are: the block size a lattice attack needs,
by the core-SVP method, and the bits of security that block size stands for.

    python3 scripts/lwe_estimate.py                       # the profiles' table
    python3 scripts/lwe_estimate.py 1408 32 6.403         # n, log2 q, error standard deviation

The method (an estimate, not an audit; anyone can rerun it):

- A query of a profile is LWE with secret dimension n, modulus q, a uniform secret modulo q and
  errors of standard deviation sigma; the server sees as many samples as the query has
  elements, and the attacks below may use any number m of them (the best m is searched).
- BKZ with block size beta reaches the root Hermite factor
  delta(beta) = ((pi beta)^(1/beta) beta / (2 pi e))^(1 / (2 (beta - 1))).
- Primal attack (uSVP on the embedding lattice of dimension d = m + 1, volume q^(m - n)): it
  succeeds once sigma sqrt(beta) <= delta^(2 beta - d - 1) q^((m - n) / d).
- Dual attack: BKZ-beta finds a dual vector of norm delta^m q^(n / m), which tells LWE samples
  from uniform ones with advantage eps = 4 exp(-2 pi^2 tau^2), tau = norm sigma / q; with
  2^(0.2075 beta) such vectors from one sieve, the attack repeats max(1, 1 / (eps^2 2^(0.2075 beta)))
  times.
- Cost: one run of the SVP oracle in dimension beta, 2^(0.292 beta) (the classical sieve), times the
  repetitions; the security is log2 of the cheaper attack's cost.

Block sizes below 50 are reached by BKZ in seconds on a laptop; the script then reports "broken".
"""

from __future__ import annotations

import math
import sys

SIEVE_EXPONENT = 0.292
VECTORS_PER_SIEVE = 0.2075
SMALLEST_MEANINGFUL_BETA = 50


def root_hermite_factor(beta: int) -> float:
    return ((math.pi * beta) ** (1 / beta) * beta / (2 * math.pi * math.e)) ** (1 / (2 * (beta - 1)))


def primal_bits(n: int, log2_q: float, sigma: float) -> tuple[int, float]:
    """The smallest block size that succeeds for some number of samples, and its cost in bits."""
    q = 2.0 ** log2_q
    for beta in range(SMALLEST_MEANINGFUL_BETA, 4000):
        delta = root_hermite_factor(beta)
        for m in range(n // 4, 4 * n, 8):
            d = m + 1
            if sigma * math.sqrt(beta) <= delta ** (2 * beta - d - 1) * q ** ((m - n) / d):
                return beta, SIEVE_EXPONENT * beta
    raise ValueError("no block size below 4000 succeeds")


def dual_bits(n: int, log2_q: float, sigma: float) -> tuple[int, float]:
    """The block size and number of samples of the cheapest dual attack, and its cost in bits."""
    q = 2.0 ** log2_q
    best: tuple[float, int] | None = None
    for beta in range(SMALLEST_MEANINGFUL_BETA, 4000):
        delta = root_hermite_factor(beta)
        for m in range(n // 4, 4 * n, 8):
            tau = delta ** m * q ** (n / m) * sigma / q
            advantage = 4 * math.exp(-2 * math.pi ** 2 * tau ** 2)
            if advantage <= 0:
                continue
            repeats = max(0.0, -2 * math.log2(advantage) - VECTORS_PER_SIEVE * beta)
            cost = SIEVE_EXPONENT * beta + repeats
            if best is None or cost < best[0]:
                best = (cost, beta)
        if best is not None and SIEVE_EXPONENT * beta > best[0]:
            break  # larger blocks cost more than the best found, whatever the repetitions
    assert best is not None
    return best[1], best[0]


def report(name: str, n: int, log2_q: float, sigma: float) -> str:
    (primal_beta, primal), (dual_beta, dual) = primal_bits(n, log2_q, sigma), dual_bits(n, log2_q, sigma)
    if min(primal_beta, dual_beta) <= SMALLEST_MEANINGFUL_BETA:
        verdict = "broken (BKZ-50 or less)"
    else:
        verdict = f"about {min(primal, dual):.0f} bits"
    return (f"{name:34} n={n:5} q=2^{log2_q:<4g} sigma={sigma:5.3f}  primal beta={primal_beta:4} ({primal:5.1f} bits)  "
            f"dual beta={dual_beta:4} ({dual:5.1f} bits)  -> {verdict}")


# The profiles' errors: uniform in {-1, 0, 1} (standard deviation sqrt(2/3)), or the centred
# binomial distribution of 82 coin pairs (variance 41).
PROFILES = [
    ("toy-development-only-v0", 16, 32, math.sqrt(2 / 3)),
    ("simplepir-rs-*", 64, 64, math.sqrt(2 / 3)),
    ("simplepir-balanced-128-v1", 1408, 32, math.sqrt(41)),
    ("for comparison: n = 1024, sigma 6.4", 1024, 32, 6.4),
]


def main(argv: list[str]) -> int:
    if argv:
        n, log2_q, sigma = int(argv[0]), float(argv[1]), float(argv[2])
        print(report("given", n, log2_q, sigma))
        return 0
    for name, n, log2_q, sigma in PROFILES:
        print(report(name, n, log2_q, sigma))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
