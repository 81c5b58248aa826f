"""Quality without a clean image: Stein's unbiased risk estimate of a run's mean squared error,
the choice of parameters by it, and the estimated gain over the noisy input."""
