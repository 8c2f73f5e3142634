// Declarations of every class and module function the module registers.
// Each binding file defines the entries of its area; module.cpp adds them
// to the module in the documented order.
#pragma once

#include "framework/class.hpp"

namespace halyard {
struct TrajectoryCoordinate;
struct TrajectoryCoordinate5D;
struct TesselWeights;
struct IRCPConfig;
struct AttentionWeights;
class IRCPPropagator;
class CoordinateTree;
class Ring;
class DualRing;
struct ConservationMetrics;
}  // namespace halyard

namespace halyard::bind {

template <> PyTypeObject* type_of<TrajectoryCoordinate>();
template <> PyTypeObject* type_of<TrajectoryCoordinate5D>();
template <> PyTypeObject* type_of<TesselWeights>();
template <> PyTypeObject* type_of<IRCPConfig>();
template <> PyTypeObject* type_of<AttentionWeights>();
template <> PyTypeObject* type_of<IRCPPropagator>();
template <> PyTypeObject* type_of<CoordinateTree>();
template <> PyTypeObject* type_of<Ring>();
template <> PyTypeObject* type_of<DualRing>();
template <> PyTypeObject* type_of<ConservationMetrics>();

namespace functions {
PyMethodDef* cosine_similarity();
PyMethodDef* euclidean_distance();
PyMethodDef* normalize();
PyMethodDef* trajectory_weighted_cosine();
PyMethodDef* trajectory_weighted_cosine_5d();
PyMethodDef* compute_trajectory_coordinates();
}  // namespace functions

}  // namespace halyard::bind
