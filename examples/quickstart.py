"""Halyard quickstart: an assistant's memory on generated data.

A support assistant remembers facts as embeddings, retrieves them for a new
question, learns from feedback which memories help, keeps the conversation as
a branching trajectory, weighs earlier turns with I-RCP attention and scores
the turns it produced.
"""

import numpy as np

import halyard as hy

rng = np.random.default_rng(42)
DIM = 64
TOPICS = ["billing", "login", "export", "latency", "pricing", "sso"]


def embed(topic: str, noise: float = 0.35) -> np.ndarray:
    """A stand-in embedding model: one direction per topic plus noise."""
    base = np.random.default_rng(TOPICS.index(topic)).standard_normal(DIM)
    return hy.normalize((base + noise * rng.standard_normal(DIM)).astype(np.float32))


print(f"Halyard {hy.__version__}\n")

# -- 1. Memories: an exact index, an approximate index and a store -----------
print("# 1. Memories")
flat = hy.FlatIndex(DIM, hy.DistanceType.Cosine)
hnsw = hy.HNSWIndex(DIM, m=16, ef_construction=100, distance_type=hy.DistanceType.Cosine)
store = hy.InMemoryStore()
for i in range(600):
    topic = TOPICS[i % len(TOPICS)]
    vector = embed(topic)
    memory_id = f"{topic}-{i}"
    flat.add(memory_id, vector)
    hnsw.add(memory_id, vector)
    store.insert(hy.MemoryRecord(memory_id, vector, f"note about {topic} #{i}", 0.0, {"topic": topic, "rank": i}))
print(flat, hnsw, store, f"~{store.memory_bytes / 1e6:.2f} MB")

question = embed("login")
exact = flat.search(question, 3)
approx = hnsw.search(question, 3)
print("exact :", exact[0])
print("approx:", approx[0])
recall = len({r.id for r in exact} & {r.id for r in approx}) / len(exact)
print(f"HNSW agrees with the exact search on {recall:.0%} of the top 3")

# Feedback: the user liked answers built from the first memory, not the second.
for outcome in (1.0, 0.8, 0.9):
    store.update_stats(exact[0].id, outcome)
store.update_stats(exact[1].id, 0.1)
best = store.get(exact[0].id)
assert best is not None
print(best, "mean outcome", round(best.stats.mean_scalar or 0.0, 3), "95% CI", best.stats.confidence_interval(0.95))

# -- 2. The conversation as a branching trajectory ----------------------------
print("\n# 2. Conversation")
C, R = hy.EdgeType.Continuation, hy.EdgeType.Regeneration
graph = hy.TrajectoryGraph.from_edges([(1, 2, C), (2, 3, C), (2, 4, R), (4, 5, C)])
print(graph, "branch points:", graph.find_branch_points())
chains = hy.ChainManager()
chain_id = chains.create_chain_from_graph(graph, "ticket-17")
machine = chains.get_chain(chain_id)
assert machine is not None
print(machine, [(b.id, b.nodes) for b in sorted(machine.all_branches(), key=lambda b: b.id)])
machine.archive(machine.find_branch_for_node(3) or 0, reason="user preferred the regenerated answer")
for lost in hy.BranchResolver.find_recoverable_branches(machine):
    print("recoverable:", lost, lost.lost_reason, lost.nodes)
print(chains.stats())

# -- 3. Where turns sit, and which earlier turns matter -----------------------
print("\n# 3. Attention")
turn_texts = [
    ("user", "Login fails with an error since yesterday. Any idea why?"),
    ("assistant", "Plan:\n1. check the SSO token\n2. clear the session\n3. retry\n4. report back"),
    ("user", "Step 2 worked, thanks! What about exports?"),
]
turn_embs = [embed("login"), embed("sso"), embed("export")]
coords = [
    hy.compute_trajectory_coordinates(e, [0.7, 0.5], session_depth=i, turn_index=i * 10)
    for i, e in enumerate(turn_embs)
]
for c in coords:
    print(c)
propagator = hy.IRCPPropagator(hy.IRCPConfig.causal())
weights = propagator.compute_attention(coords[-1], coords, turn_embs[-1], turn_embs)
print(weights, np.round(weights.forward, 3))
print(hy.ConservationMetrics.compute(turn_embs, weights.forward.tolist()))

# -- 4. Scoring the turns and linking conversations ---------------------------
print("\n# 4. Scoring")
inferencer, scorer = hy.PhaseInferencer(), hy.SalienceScorer()
recent: list[list[float]] = []
for turn_id, ((role, text), emb) in enumerate(zip(turn_texts, turn_embs)):
    features = hy.TurnFeatures.from_content(turn_id, role, text)
    try:
        phase, confidence = inferencer.infer_single(features)
        label = f"{phase} ({confidence:.2f})"
    except ValueError:  # too little signal to name a phase
        label = "no clear phase"
    salience = scorer.score_single(
        hy.SalienceFactors(turn_id, role, features.content_length, embedding=emb.tolist()), recent
    )
    recent.insert(0, emb.tolist())
    print(f"{role:9} {label:32} {salience}")
path = hy.PathQualityFactors(0.9, hy.PathQuality.terminal_quality_from_feedback(True, False), 0.8, 1.0)
print(path, "quality", round(path.quality(), 3))

question_link = hy.ChainLink(coords[0], turn_embs[0].tolist(), hy.LinkType.Question)
answer_link = hy.ChainLink(coords[1], turn_embs[1].tolist(), hy.LinkType.Answer, is_user=False)
print(hy.ChainLinkEstimator().estimate_detailed(question_link, answer_link))
phrase = hy.detect_knowledge_transfer("As we discussed last week, exports need the new token.")
print("knowledge transfer:", phrase, hy.CrossChainLink.semantic("ticket-9", 12, chain_id, 3, 0.82))
