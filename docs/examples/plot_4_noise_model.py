"""
The noise model
===============

Before denoising, pxvorel measures how the noise grows with intensity and fits a model
to it: Poisson-Gaussian (variance = gain x intensity + offset) for camera data, or
constant. This is the figure of ``pxvorel estimate --plot``, for an image of ER exit
sites in cultured cells (16-bit): the noise measured per intensity, and the model.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np

import pxvorel
from pxvorel.core.axes import AxisPlan
from pxvorel.demo.scene import synthetic_series
from pxvorel.noise.figure import model_figure

DATA = Path("../../../shared/data")  # beside the checkout; the gallery runs each example in its folder
image_file = DATA / "2d_er_exit_sites_noisy_u16.tif"
if image_file.is_file():
    image = pxvorel.read_image(image_file)
    data, axes = image.data, image.axes
else:
    data, axes = synthetic_series(frames=2, size=128).noisy, "TYX"

model = pxvorel.estimate_noise(data, axes=axes)
print(model.describe())
engine = AxisPlan.for_array(data.shape, axes).to_engine(np.asarray(data))
model_figure(engine, model, plt.figure(figsize=(7, 4.5)))
plt.show()
