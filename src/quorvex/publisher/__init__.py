"""The publisher: documents, chunking, and writing a public cache with its server state. May import
quorvex.shared, quorvex.embedders and the engine quorvex._engine (for the client hint)."""
