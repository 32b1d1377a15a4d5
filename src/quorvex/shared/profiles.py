"""The three PIR parameter profiles and the fixed values each of them pins.

A cache states its profile in the manifest and in "pir/scheme.json"; the client
refuses any parameter that differs from the profile's column, so the publisher and
the server take every value from here. The client's own table (native/pir/pir_profiles.hpp,
core/profile_names.hpp) is the other place these values are written; the tests that publish
a cache of every profile and open it with the client prove that the two agree.
"""

from __future__ import annotations

from dataclasses import dataclass

SCHEME = "simplepir-lwe-v0"
SCHEMA_VERSION = 1
QUERY_RNG = "os-random-query-material"

TOY = "toy-development-only-v0"
RS_EXPERIMENTAL = "simplepir-rs-experimental-v0"
RS_SUPPORTED = "simplepir-rs-v0-1000-1k"

EXPERIMENTAL_STATUS = "experimental-unaudited"
SUPPORTED_STATUS = "supported-v0-unaudited"

# Limits of the supported profile.
SUPPORTED_DIMENSIONS = 384
SUPPORTED_MAX_RECORDS = 1000
SUPPORTED_RECORD_SIZE = 1024
SUPPORTED_PUBLIC_CACHE_LIMIT = 2621440

MIN_RECORD_SIZE = 4  # room for the u32 length prefix of a padded chunk record


@dataclass(frozen=True)
class Profile:
    name: str
    security_status: str
    matrix_width: int
    modulus: int
    plaintext_modulus: int
    noise_distribution: str
    matrix_prg: str
    backend_name: str
    implementation_status: str
    experimental: bool

    @property
    def is_simplepir_rs(self) -> bool:
        return self.name in (RS_EXPERIMENTAL, RS_SUPPORTED)

    @property
    def is_supported(self) -> bool:
        return self.name == RS_SUPPORTED

    @property
    def is_development_only(self) -> bool:
        """Whether the profile exists only to develop with: its encryption protects nothing."""
        return self.name == TOY


def _simplepir_rs(name: str, security_status: str, experimental: bool) -> Profile:
    return Profile(name=name, security_status=security_status, matrix_width=64, modulus=(1 << 64) - 1,
                   plaintext_modulus=1 << 17, noise_distribution="simplepir-rs-adapter-uniform_i64_-1_0_1",
                   matrix_prg="simplepir-rs-chacha20-server-hint-v1", backend_name="simplepir-rs-v1.0.1",
                   implementation_status="external-crate-experimental", experimental=experimental)


PROFILES: dict[str, Profile] = {
    TOY: Profile(
        name=TOY,
        security_status=EXPERIMENTAL_STATUS,
        matrix_width=16,
        modulus=1 << 32,
        plaintext_modulus=256,
        noise_distribution="uniform_i64_-1_0_1",
        matrix_prg="splitmix64-public-matrix-dev",
        backend_name="toy-simplepir-lwe-v0",
        implementation_status="toy-development-only",
        experimental=True,
    ),
    RS_EXPERIMENTAL: _simplepir_rs(RS_EXPERIMENTAL, EXPERIMENTAL_STATUS, experimental=True),
    RS_SUPPORTED: _simplepir_rs(RS_SUPPORTED, SUPPORTED_STATUS, experimental=False),
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

