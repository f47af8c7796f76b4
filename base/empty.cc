// Keeps a folder library buildable while it has no source of its own yet.
