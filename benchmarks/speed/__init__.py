"""Speed: seconds, throughput, thread scaling and memory, of the engine and of the package."""
