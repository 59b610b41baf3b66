// Placeholder so a library with no sources yet still builds.
