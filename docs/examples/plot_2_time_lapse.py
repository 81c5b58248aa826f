"""
A time-lapse of nuclei
======================

Eight frames of a fluorescence time-lapse of HeLa nuclei (MitoCheck, 8-bit). With a T
axis, patches are compared across neighbouring frames too, so that still structures
gain from every frame they appear in.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import pxvorel
from pxvorel.demo.scene import synthetic_series

DATA = Path("../../../shared/data")  # beside the checkout; the gallery runs each example in its folder
movie_file = DATA / "2dt_nuclei_mitocheck_30frames_u8.tif"
if movie_file.is_file():
    movie = pxvorel.read_image(movie_file)
    frames, axes = movie.data[:8, :160, :160], movie.axes
else:
    frames, axes = synthetic_series(frames=8, size=128).noisy, "TYX"

denoised = pxvorel.denoise(frames, axes=axes)

# %%
# The middle frame, before and after.
figure, panels = plt.subplots(1, 2, figsize=(7, 3.6), layout="constrained")
low, high = np.percentile(denoised, [0.5, 99.8])
for panel, image, title in zip(panels, (frames[4], denoised[4]), ("noisy", "denoised"), strict=True):
    panel.imshow(image, cmap="magma", vmin=low, vmax=high)
    panel.set_title(f"{title}, frame 4")
    panel.set_axis_off()
plt.show()
