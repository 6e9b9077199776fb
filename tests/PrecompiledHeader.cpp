// Nothing of its own: the target holds the precompiled header that every test program uses.
