"""What a public cache holds, as its manifest describes it.

Only for display and for choosing defaults: the extension module verifies the
cache (checksums, manifest rules, index, PIR files) when it opens it, and it is
the only judge of whether a cache is sound. Read the manifest after a successful
open so that what is shown is what was verified.
"""

from __future__ import annotations

import json
import pathlib
from dataclasses import dataclass

from quorvex.shared import profiles
from quorvex.shared.formats import public_cache_size

__all__ = ["CacheInfo"]


@dataclass(frozen=True)
class CacheInfo:
    path: pathlib.Path
    bundle_id: str
    bundle_version: str
    embedding_model: str
    embedding_dimensions: int
    chunk_count: int
    record_size_bytes: int
    parameter_profile: str
    security_status: str
    created_at: str
    public_cache_bytes: int

    @classmethod
    def from_manifest(cls, cache_dir: str | pathlib.Path, manifest_json: bytes) -> "CacheInfo":
        """From the bytes of a cache's manifest (NativeClient.manifest_json: the bytes it verified)."""
        path = pathlib.Path(cache_dir)
        try:
            manifest = json.loads(manifest_json)
            params = manifest["pir_params"]
            return cls(
                path=path,
                bundle_id=str(manifest["bundle_id"]),
                bundle_version=str(manifest["bundle_version"]),
                embedding_model=str(manifest["embedding_model"]),
                embedding_dimensions=int(manifest["embedding_dimensions"]),
                chunk_count=int(manifest["chunk_count"]),
                record_size_bytes=int(manifest["pir_record_size_bytes"]),
                parameter_profile=str(params.get("parameter_profile", "")),
                security_status=str(params.get("security_status", "")),
                created_at=str(manifest.get("created_at", "")),
                public_cache_bytes=public_cache_size(path),
            )
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            raise ValueError(f"cannot read the manifest of {path}: {error}") from None

    @property
    def is_supported_profile(self) -> bool:
        return self.parameter_profile == profiles.RS_SUPPORTED
