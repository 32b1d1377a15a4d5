"""The descriptive files of a public cache: manifest, PIR scheme description, checksums."""

from __future__ import annotations

import json
import pathlib

from quorvex.shared import profiles
from quorvex.shared.checksum_list import file_sha256
from quorvex.shared.formats import ARTIFACTS

# The bundle format version the manifest states (which the client requires exactly; the
# round-trip tests open caches of every profile). Not the package version.
BUNDLE_FORMAT_VERSION = "0.1.0"
PIR_STORE_FORMAT = "quorvex-pir-v0"
_SUPPORTED_NOTE = (
    "simplepir-lwe-v0 with the simplepir-rs-v0-1000-1k parameters: unaudited and not externally "
    "audited. The LWE parameters (secret dimension 64, 64-bit modulus, errors in -1..1) are far too "
    "small to resist a server that attacks the LWE encryption; do not rely on them to hide queries.")
_EXPERIMENTAL_NOTE = (
    "experimental, unaudited simplepir-lwe-v0 parameters ({profile}). The LWE parameters are far too "
    "small to resist a server that attacks the LWE encryption; do not rely on them to hide queries.")
_BALANCED_NOTE = (
    "simplepir-balanced-lwe-v1 with the simplepir-balanced-128-v1 parameters: LWE with secrets of dimension "
    "1408 modulo 2^32 and centred binomial errors of variance 41, about 146 bits by the core-SVP estimate of "
    "primal and dual attacks. An estimate by that method, not an audit; the implementation is unaudited.")


def _dump(value: object) -> bytes:
    return json.dumps(value, indent=2, ensure_ascii=False).encode("utf-8") + b"\n"


def pir_params_json(profile: profiles.Profile, record_count: int, record_size_bytes: int) -> dict[str, object]:
    """The twelve PIR parameters as the scheme description writes them (numbers as integers)."""
    return {
        "scheme": profile.scheme,
        "schema_version": profiles.SCHEMA_VERSION,
        "record_count": record_count,
        "record_size_bytes": record_size_bytes,
        "security_status": profile.security_status,
        "parameter_profile": profile.name,
        "matrix_width": profile.matrix_width,
        "modulus": profile.modulus,
        "plaintext_modulus": profile.plaintext_modulus,
        "noise_distribution": profile.noise_distribution,
        "matrix_prg": profile.matrix_prg,
        "query_rng": profiles.QUERY_RNG,
    }


def manifest_json(*, profile: profiles.Profile, bundle_id: str, bundle_version: str, embedding_model: str,
                  embedding_dimensions: int, record_count: int, record_size_bytes: int,
                  created_at: str) -> bytes:
    params = pir_params_json(profile, record_count, record_size_bytes)
    pir_params = {key: str(params[key]) for key in (
        "schema_version", "parameter_profile", "security_status", "matrix_width", "modulus",
        "plaintext_modulus", "noise_distribution", "matrix_prg", "query_rng")}
    return _dump({
        "quorvex_version": BUNDLE_FORMAT_VERSION,
        "bundle_id": bundle_id,
        "bundle_version": bundle_version,
        "embedding_model": embedding_model,
        "embedding_dimensions": embedding_dimensions,
        "chunk_count": record_count,
        "record_size_bytes": record_size_bytes,
        "index_format": "quorvex-index-v0",
        "pir_store_format": PIR_STORE_FORMAT,
        "pir_scheme": profile.scheme,
        "pir_params": pir_params,
        "pir_record_count": record_count,
        "pir_record_size_bytes": record_size_bytes,
        "pir_artifacts": ARTIFACTS,
        "created_at": created_at,
    })


def scheme_json(profile: profiles.Profile, record_count: int, record_size_bytes: int) -> bytes:
    note = (_BALANCED_NOTE if profile.is_balanced else _SUPPORTED_NOTE if profile.is_supported
            else _EXPERIMENTAL_NOTE.format(profile=profile.name))
    return _dump({
        "scheme": profile.scheme,
        "params": pir_params_json(profile, record_count, record_size_bytes),
        "backend": {
            "scheme": profile.scheme,
            "backend_name": profile.backend_name,
            "security_status": profile.security_status,
            "parameter_profile": profile.name,
            "implementation_status": profile.implementation_status,
        },
        "artifacts": ARTIFACTS,
        "experimental": profile.experimental,
        "security_note": note,
    })


def checksums_json(root: pathlib.Path, paths: list[str]) -> bytes:
    """SHA-256 and size of every given file under root, keyed by bundle-relative path."""
    return _dump({
        "algorithm": "sha256",
        "files": {path: {"sha256": file_sha256(root / path), "size_bytes": (root / path).stat().st_size}
                  for path in sorted(paths)},
    })
