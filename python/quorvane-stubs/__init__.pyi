"""Type stubs for the quorvane extension module.

All offsets and lengths are byte offsets into the UTF-8 encoding of the text
exactly as passed. Library errors are ValueErrors whose message ends in the
C2PA status code where there is one.
"""
from typing import Final, List, Literal, Optional, Sequence, SupportsIndex, Tuple, TypedDict

__all__ = [
    "embed",
    "encode",
    "encode_padded",
    "target_length",
    "extract",
    "locate_all",
    "strip",
    "compute_data_hash",
    "verify_data_hash",
    "MARKER",
    "VERSION",
    "__version__",
]

# The names below that start with an underscore exist only for type
# checkers; import them under `if TYPE_CHECKING:`.

_Alg = Literal["sha256", "sha384", "sha512"]

class _Wrapper(TypedDict):
    """The result of extract."""

    payload: bytes
    version: Literal[1]
    start: int
    length: int

class _DataHash(TypedDict):
    """The result of compute_data_hash."""

    alg: _Alg
    hash: bytes
    exclusions: List[Tuple[int, int]]

MARKER: Final = "\ufeff"
VERSION: Final = 1
__version__: Final[str]

def embed(text: str, payload: bytes) -> str:
    """Embed a Manifest Store into `text` as an invisible variation-selector run."""

def encode(payload: bytes) -> str:
    """Encode a wrapper on its own, without a host text."""

def encode_padded(payload: bytes) -> str:
    """Encode a wrapper padded to the deterministic target length, so two
    generators produce byte-identical output for the same manifest."""

def target_length(manifest_len: SupportsIndex) -> int:
    """The deterministic wrapper length for a manifest of `manifest_len` bytes."""

def extract(text: str) -> Optional[_Wrapper]:
    """The single valid wrapper in `text`, or `None` when it carries none."""

def locate_all(text: str) -> List[Tuple[int, int]]:
    """The `(start, length)` byte ranges of every valid wrapper in `text`."""

def strip(text: str, start: SupportsIndex, length: SupportsIndex) -> str:
    """Remove the wrapper occupying `[start, start + length)`, leaving the visible
    text."""

def compute_data_hash(text: str, alg: str = "sha256") -> _DataHash:
    """Compute the `c2pa.hash.data` binding for text that already carries a wrapper."""

def verify_data_hash(
    text: str,
    hash: bytes,
    exclusions: Sequence[Tuple[SupportsIndex, SupportsIndex]],
    alg: str = "sha256",
) -> None:
    """Verify a `c2pa.hash.data` binding against `text`."""
