// Declarations of every class and module function the module registers.
// Each binding file defines the entries of its area; module.cpp adds them
// to the module in the documented order.
#pragma once

#include <cstdint>

#include "framework/class.hpp"

namespace halyard {
class OutcomeStats;
struct MemoryRecord;
class InMemoryStore;
class QueryCache;
struct CacheStats;
struct SearchResult;
class FlatIndex;
class HNSWIndex;
class IndexRegistry;
struct TrajectoryCoordinate;
struct TrajectoryCoordinate5D;
enum class TrajectoryPhase : uint8_t;
enum class Feedback : uint8_t;
struct TurnFeatures;
class PhaseInferencer;
struct SalienceFactors;
struct TurnSalience;
class SalienceScorer;
struct PathQualityWeights;
struct PathQualityFactors;
struct PathQuality;
struct TesselWeights;
enum class LinkType : uint8_t;
struct ChainLink;
struct ChainLinkEstimatorConfig;
struct ChainLinkEstimate;
class ChainLinkEstimator;
enum class CrossChainLinkType : uint8_t;
struct LinkStrength;
struct CrossChainLink;
enum class EdgeType : uint8_t;
struct Episode;
class TrajectoryGraph;
enum class BranchStatus : uint8_t;
enum class RecoveryStrategy : uint8_t;
enum class LostReason : uint8_t;
struct Branch;
struct RecoverableBranch;
class BranchStateMachine;
struct BranchResolver;
struct ChainMetadata;
class ChainManager;
struct IRCPConfig;
struct AttentionWeights;
class IRCPPropagator;
class CoordinateTree;
class Ring;
class DualRing;
struct ConservationMetrics;
}  // namespace halyard

namespace halyard::bind {

template <> PyTypeObject* type_of<OutcomeStats>();
template <> PyTypeObject* type_of<MemoryRecord>();
template <> PyTypeObject* type_of<InMemoryStore>();
template <> PyTypeObject* type_of<QueryCache>();
template <> PyTypeObject* type_of<CacheStats>();
// Python's DistanceType (L2, Cosine, InnerProduct); the core enum is ordered differently.
enum class DistanceTypePy : int;
template <> PyTypeObject* type_of<SearchResult>();
template <> PyTypeObject* type_of<DistanceTypePy>();
template <> PyTypeObject* type_of<FlatIndex>();
template <> PyTypeObject* type_of<HNSWIndex>();
template <> PyTypeObject* type_of<IndexRegistry>();
template <> PyTypeObject* type_of<TrajectoryCoordinate>();
template <> PyTypeObject* type_of<TrajectoryCoordinate5D>();
template <> PyTypeObject* type_of<TrajectoryPhase>();
template <> PyTypeObject* type_of<Feedback>();
template <> PyTypeObject* type_of<TurnFeatures>();
template <> PyTypeObject* type_of<PhaseInferencer>();
template <> PyTypeObject* type_of<SalienceFactors>();
template <> PyTypeObject* type_of<TurnSalience>();
template <> PyTypeObject* type_of<SalienceScorer>();
template <> PyTypeObject* type_of<PathQualityWeights>();
template <> PyTypeObject* type_of<PathQualityFactors>();
template <> PyTypeObject* type_of<PathQuality>();
template <> PyTypeObject* type_of<TesselWeights>();
template <> PyTypeObject* type_of<LinkType>();
template <> PyTypeObject* type_of<ChainLink>();
template <> PyTypeObject* type_of<ChainLinkEstimatorConfig>();
template <> PyTypeObject* type_of<ChainLinkEstimate>();
template <> PyTypeObject* type_of<ChainLinkEstimator>();
template <> PyTypeObject* type_of<CrossChainLinkType>();
template <> PyTypeObject* type_of<LinkStrength>();
template <> PyTypeObject* type_of<CrossChainLink>();
template <> PyTypeObject* type_of<EdgeType>();
template <> PyTypeObject* type_of<Episode>();
template <> PyTypeObject* type_of<TrajectoryGraph>();
template <> PyTypeObject* type_of<BranchStatus>();
template <> PyTypeObject* type_of<RecoveryStrategy>();
template <> PyTypeObject* type_of<LostReason>();
template <> PyTypeObject* type_of<Branch>();
template <> PyTypeObject* type_of<RecoverableBranch>();
template <> PyTypeObject* type_of<BranchStateMachine>();
template <> PyTypeObject* type_of<BranchResolver>();
template <> PyTypeObject* type_of<ChainMetadata>();
template <> PyTypeObject* type_of<ChainManager>();
template <> PyTypeObject* type_of<IRCPConfig>();
template <> PyTypeObject* type_of<AttentionWeights>();
template <> PyTypeObject* type_of<IRCPPropagator>();
template <> PyTypeObject* type_of<CoordinateTree>();
template <> PyTypeObject* type_of<Ring>();
template <> PyTypeObject* type_of<DualRing>();
template <> PyTypeObject* type_of<ConservationMetrics>();

// Coordinates are immutable values: copying one needs no borrow.
template <> inline constexpr bool is_immutable_class<TrajectoryCoordinate> = true;
template <> inline constexpr bool is_immutable_class<TrajectoryCoordinate5D> = true;

namespace functions {
PyMethodDef* cosine_similarity();
PyMethodDef* euclidean_distance();
PyMethodDef* normalize();
PyMethodDef* trajectory_weighted_cosine();
PyMethodDef* trajectory_weighted_cosine_5d();
PyMethodDef* detect_knowledge_transfer();
PyMethodDef* compute_trajectory_coordinates();
}  // namespace functions

}  // namespace halyard::bind
