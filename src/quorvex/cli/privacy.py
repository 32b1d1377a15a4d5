"""The one-line statement of what quorvex's private retrieval does and does not protect."""

PRIVACY_NOTE = (
    "Privacy: PIR hides the question and which chunks were fetched (every retrieval is the same "
    "number of fixed-size queries), not sizes, timing, the collection or that a retrieval happened. "
    "The default profile simplepir-balanced-128-v1 is LWE of dimension 1408, about 145 bits by the "
    "core-SVP estimate of lattice attacks (an estimate, not an audit; the code is unaudited); the older "
    "profiles (dimension 16 or 64) are broken in seconds and protect nothing.")
