"""
Three channels: DNA, tubulin and actin
======================================

A HeLa cell stained for DNA, tubulin and actin (16-bit, three channels). Each channel
gets its own noise model and is denoised on its own; the figure shows every channel
before and after, in the colours of a composite.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import LinearSegmentedColormap

import pxvorel
from pxvorel.demo.scene import synthetic_series

DATA = Path("../../../shared/data")  # beside the checkout; the gallery runs each example in its folder
cell_file = DATA / "2dc_hela_dna_tubulin_actin_3ch_u16.tif"
if cell_file.is_file():
    cell = pxvorel.read_image(cell_file)
    channels, axes = cell.data[:, 75:275, 75:275], cell.axes
else:  # three frames of the synthetic scene as three channels
    channels, axes = synthetic_series(frames=3, size=128).noisy, "CYX"

denoised, model = pxvorel.denoise(channels, axes=axes, return_noise=True)
print(model.describe())

# %%
# Each channel before (top) and after (bottom).
figure, panels = plt.subplots(2, 3, figsize=(9, 6), layout="constrained")
for c, colour in enumerate(("blue", "lime", "red")):
    low, high = np.percentile(denoised[c], [0.5, 99.8])
    ramp = LinearSegmentedColormap.from_list(colour, ["black", colour])
    for row, image in enumerate((channels[c], denoised[c])):
        panels[row, c].imshow(image, cmap=ramp, vmin=low, vmax=high)
        panels[row, c].set_title(f"channel {c}, {('noisy', 'denoised')[row]}")
        panels[row, c].set_axis_off()
plt.show()
