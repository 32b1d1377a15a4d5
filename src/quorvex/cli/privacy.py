"""The one-line statement of what quorvex's private retrieval does and does not protect."""

PRIVACY_NOTE = (
    "Privacy: PIR hides the question and which chunks were fetched (every retrieval is the same "
    "number of fixed-size queries), not sizes, timing, the collection or that a retrieval happened; "
    "the profiles are unaudited and their LWE secrets (dimension 64, 16 for the toy profile, against "
    "about 1024 for 128-bit security) are likely breakable by lattice reduction, so a determined server "
    "may recover what was fetched: use them for development and evaluation only.")
