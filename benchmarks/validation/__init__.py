"""Validation: whether the package does what it promises (the same bits as a saved build, noise
models that fit real images, an honest quality estimate, unchanged means and units, no invented
texture)."""
