"""Halyard quickstart: a small assistant-memory walk-through on generated data."""

import numpy as np

import halyard as hy

rng = np.random.default_rng(42)
DIM = 64


def embed(n):
    return rng.standard_normal((n, DIM)).astype(np.float32)


print(f"Halyard {hy.__version__}")

# -- Vector similarity -------------------------------------------------------
question, passage = embed(2)
print("\n# Vector similarity")
print(f"cosine(question, passage)  = {hy.cosine_similarity(question, passage):+.4f}")
print(f"euclidean distance         = {hy.euclidean_distance(question, passage):.4f}")
print(f"|normalize(question)|      = {np.linalg.norm(hy.normalize(question)):.4f}")

# -- Where turns sit in a conversation ---------------------------------------
print("\n# Trajectory coordinates")
opening = hy.TrajectoryCoordinate.root()
follow_up = hy.TrajectoryCoordinate(depth=3, sibling_order=1, homogeneity=0.8, temporal=0.3)
print(opening, "->", follow_up)
print(f"distance {opening.distance(follow_up):.3f}, manhattan {opening.manhattan_distance(follow_up):.3f}")
blend = hy.trajectory_weighted_cosine(question, passage, opening, follow_up, coord_weight=0.3)
print(f"trajectory-weighted cosine (30% spatial) = {blend:+.4f}")
rich = hy.TrajectoryCoordinate5D.from_4d_with_complexity(follow_up, 3)
print(rich, "multimodal:", rich.is_multimodal(), f"complexity factor {rich.complexity_factor():.3f}")
print("semantic-focused weights:", hy.TesselWeights.semantic_focused())
