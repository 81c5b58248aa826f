"""Quality: PSNR against clean images and the estimated gain on real ones, of the defaults,
their candidates and other denoisers."""
