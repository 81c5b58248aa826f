"""
Widefield nuclei, against the average of 50 exposures
=====================================================

One widefield exposure of BPAE cell nuclei (8-bit) is denoised with the defaults and
compared with the average of 50 exposures of the same field, which stands in for the
noise-free image. The noise model is estimated from the noisy image alone.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import pxvorel
from pxvorel.demo.scene import synthetic_series

DATA = Path("../../../shared/data")  # beside the checkout; the gallery runs each example in its folder
noisy_file = DATA / "pair_fmd_widefield_bpae_nuclei_raw_u8.tif"
if noisy_file.is_file():
    noisy = pxvorel.read_image(noisy_file).data[:256, :256]
    reference = pxvorel.read_image(DATA / "pair_fmd_widefield_bpae_nuclei_avg50_u8.tif").data[:256, :256]
else:  # the synthetic scene of ``pxvorel demo``, its clean frame as the reference
    scene = synthetic_series(frames=1, size=128)
    noisy, reference = scene.noisy[0], scene.clean[0]

denoised, model = pxvorel.denoise(noisy, return_noise=True)
print(model.describe())


def psnr(image: np.ndarray) -> float:
    peak = float(reference.max() - reference.min())
    return 10 * np.log10(peak**2 / np.mean((image.astype(np.float64) - reference) ** 2))


# %%
# Before and after, with the PSNR against the reference.
figure, axes = plt.subplots(1, 3, figsize=(10, 3.6), layout="constrained")
low, high = np.percentile(reference, [0.5, 99.8])
for axis, image, title in zip(
    axes,
    (noisy, denoised, reference),
    (f"noisy ({psnr(noisy):.1f} dB)", f"denoised ({psnr(denoised):.1f} dB)", "reference"),
    strict=True,
):
    axis.imshow(image, cmap="gray", vmin=low, vmax=high)
    axis.set_title(title)
    axis.set_axis_off()
plt.show()
