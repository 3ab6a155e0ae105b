"""Tree files in, distance matrices and convergence reports out: the companion of the `brantoveil` engine."""
