"""The distance matrix tile by tile on Dask: for samples whose n x n matrix does not fit one machine.

Needs the optional extra ``pip install "brantoveil[dask]"`` (Dask, distributed, Zarr).
"""

from .array import distance_array
from .encode import Encoded, encode
from .reduce import distances_to, mean_distances, medoid, nearest
from .store import to_zarr

__all__ = ["Encoded", "distance_array", "distances_to", "encode", "mean_distances", "medoid", "nearest", "to_zarr"]
