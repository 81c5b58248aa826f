"""A denoising run: settings, engine driving, bands, dask blocks and their halo, threads,
progress and stopping."""
