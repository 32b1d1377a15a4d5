"""The PIR parameter profiles and the fixed values each of them pins.

A cache states its profile in the manifest and in "pir/scheme.json"; the client
refuses any parameter that differs from the profile's row, so the publisher and
the server take every value from here. The client's own table (native/pir/pir_profiles.hpp,
core/profile_names.hpp) is the other place these values are written; the tests that publish
a cache of every profile and open it with the client prove that the two agree.

The balanced profile is quorvex's own and the default of its tools: LWE with secrets of
dimension 1408 modulo 2^32, which the core-SVP estimate of primal and dual attacks puts at
about 146 bits (scripts/lwe_estimate.py; an estimate, not an audit), in a layout that keeps a
retrieval near a megabyte at a million records. The three other profiles are kept as they
were specified, and are far too weak to protect a query.
"""

from __future__ import annotations

from dataclasses import dataclass

SCHEME = "simplepir-lwe-v0"
BALANCED_SCHEME = "simplepir-balanced-lwe-v1"
SCHEMA_VERSION = 1
QUERY_RNG = "os-random-query-material"

TOY = "toy-development-only-v0"
RS_EXPERIMENTAL = "simplepir-rs-experimental-v0"
RS_SUPPORTED = "simplepir-rs-v0-1000-1k"
BALANCED = "simplepir-balanced-128-v1"
DEFAULT = BALANCED  # of quorvex's tools

EXPERIMENTAL_STATUS = "experimental-unaudited"
SUPPORTED_STATUS = "supported-v0-unaudited"
BALANCED_STATUS = "estimated-128-unaudited"

# Limits of the supported profile.
SUPPORTED_DIMENSIONS = 384
SUPPORTED_MAX_RECORDS = 1000
SUPPORTED_RECORD_SIZE = 1024
SUPPORTED_PUBLIC_CACHE_LIMIT = 2621440
# Queries in every retrieval of the supported and the balanced profiles.
FIXED_RETRIEVAL_COUNT = 4
# Chunks a retrieval fetches unless told otherwise (the supported profile requires exactly this).
DEFAULT_TOP_K = 2

MIN_RECORD_SIZE = 4  # room for the u32 length prefix of a padded chunk record
DEFAULT_RECORD_SIZE = 1024

# The query backends, by the profile's `backend`.
TOY_BACKEND, RS_BACKEND, BALANCED_BACKEND = "toy", "simplepir-rs", "balanced"

_WEAK = ("its LWE secrets have dimension {dimension}, which lattice reduction breaks in seconds, so a server "
         "that attacks the encryption learns which records were fetched")


@dataclass(frozen=True)
class Profile:
    name: str
    security_status: str
    scheme: str
    backend: str
    matrix_width: int
    modulus: int
    plaintext_modulus: int
    noise_distribution: str
    matrix_prg: str
    backend_name: str
    implementation_status: str
    experimental: bool
    strength: str  # one line on what its encryption withstands

    @property
    def is_simplepir_rs(self) -> bool:
        return self.backend == RS_BACKEND

    @property
    def is_balanced(self) -> bool:
        return self.backend == BALANCED_BACKEND

    @property
    def is_supported(self) -> bool:
        return self.name == RS_SUPPORTED

    @property
    def fixed_retrieval_count(self) -> int | None:
        """The number of queries every retrieval must have, where the profile fixes it."""
        return FIXED_RETRIEVAL_COUNT if self.is_supported or self.is_balanced else None


def _simplepir_rs(name: str, security_status: str, experimental: bool) -> Profile:
    return Profile(name=name, security_status=security_status, scheme=SCHEME, backend=RS_BACKEND, matrix_width=64,
                   modulus=(1 << 64) - 1, plaintext_modulus=1 << 17,
                   noise_distribution="simplepir-rs-adapter-uniform_i64_-1_0_1",
                   matrix_prg="simplepir-rs-chacha20-server-hint-v1", backend_name="simplepir-rs-v1.0.1",
                   implementation_status="external-crate-experimental", experimental=experimental,
                   strength=_WEAK.format(dimension=64))


PROFILES: dict[str, Profile] = {
    TOY: Profile(
        name=TOY,
        security_status=EXPERIMENTAL_STATUS,
        scheme=SCHEME,
        backend=TOY_BACKEND,
        matrix_width=16,
        modulus=1 << 32,
        plaintext_modulus=256,
        noise_distribution="uniform_i64_-1_0_1",
        matrix_prg="splitmix64-public-matrix-dev",
        backend_name="toy-simplepir-lwe-v0",
        implementation_status="toy-development-only",
        experimental=True,
        strength="it is for development only: its encryption protects nothing",
    ),
    RS_EXPERIMENTAL: _simplepir_rs(RS_EXPERIMENTAL, EXPERIMENTAL_STATUS, experimental=True),
    RS_SUPPORTED: _simplepir_rs(RS_SUPPORTED, SUPPORTED_STATUS, experimental=False),
    BALANCED: Profile(
        name=BALANCED,
        security_status=BALANCED_STATUS,
        scheme=BALANCED_SCHEME,
        backend=BALANCED_BACKEND,
        matrix_width=1408,
        modulus=1 << 32,
        plaintext_modulus=1 << 9,
        noise_distribution="centred-binomial-82",
        matrix_prg="chacha20-u32-public-matrix-v1",
        backend_name="quorvex-balanced-v1",
        implementation_status="quorvex-native-unaudited",
        experimental=False,
        strength="LWE of dimension 1408 modulo 2^32 with errors of variance 41: about 146 bits against primal "
                 "and dual lattice attacks by the core-SVP estimate (an estimate, not an audit)",
    ),
}


def get_profile(name: str) -> Profile:
    try:
        return PROFILES[name]
    except KeyError:
        known = ", ".join(PROFILES)
        raise ValueError(f"unknown PIR parameter profile {name!r}; known profiles: {known}") from None


def lane_count(record_size_bytes: int) -> int:
    """Number of 16-bit lanes that hold one record."""
    return (record_size_bytes + 1) // 2
