// Declarations of every class and module function the module registers.
// Each binding file defines the entries of its area; module.cpp adds them
// to the module in the documented order.
#pragma once

#include "framework/class.hpp"

namespace halyard {
struct TrajectoryCoordinate;
struct TrajectoryCoordinate5D;
struct TesselWeights;
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
}  // namespace halyard

namespace halyard::bind {

template <> PyTypeObject* type_of<TrajectoryCoordinate>();
template <> PyTypeObject* type_of<TrajectoryCoordinate5D>();
template <> PyTypeObject* type_of<TesselWeights>();
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

namespace functions {
PyMethodDef* cosine_similarity();
PyMethodDef* euclidean_distance();
PyMethodDef* normalize();
PyMethodDef* trajectory_weighted_cosine();
PyMethodDef* trajectory_weighted_cosine_5d();
}  // namespace functions

}  // namespace halyard::bind
