"""The client application: PrivateRetriever (search a verified cache locally, fetch the hits
privately, check them), the HTTP transport, cache inspection, chunk checks and the LangChain
retriever. May import quorvex.shared, quorvex.embedders and the extension module quorvex._native."""
