"""The noise model: what it is per channel, how it is estimated from the image, and the
transform that brings each channel to unit noise and back."""

from pxvorel.noise.choose import choose_model, estimate_noise, estimate_sigma
from pxvorel.noise.model import NOISE_MODES, NoiseModel, NoiseSpec

__all__ = ["NOISE_MODES", "NoiseModel", "NoiseSpec", "choose_model", "estimate_noise", "estimate_sigma"]
