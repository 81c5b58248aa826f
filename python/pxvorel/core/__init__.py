"""What every part of the package builds on: axes and the caller's arrays."""
