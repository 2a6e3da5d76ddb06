// Compiled only to produce the shared precompiled header.
