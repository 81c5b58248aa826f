"""pxvorel's benchmarks: speed (``benchmarks.speed``), quality (``benchmarks.quality``) and
validation (``benchmarks.validation``) apart, on the data of :mod:`benchmarks.data`.

Each benchmark is a module run from the checkout's root, e.g.
``tools/py314 python3 -m benchmarks.speed.vs_peers --quick``; ``python3 -m benchmarks`` lists
them (see benchmarks/README.md).
"""
