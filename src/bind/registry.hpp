// Declarations of every class and module function the module registers.
// Each binding file defines the entries of its area; module.cpp adds them
// to the module in the documented order.
#pragma once

#include "framework/class.hpp"

namespace halyard {
struct SearchResult;
class FlatIndex;
class HNSWIndex;
class IndexRegistry;
struct TrajectoryCoordinate;
struct TrajectoryCoordinate5D;
struct TesselWeights;
}  // namespace halyard

namespace halyard::bind {

// Python's DistanceType (L2, Cosine, InnerProduct); the core enum is ordered differently.
enum class DistanceTypePy : int;

template <> PyTypeObject* type_of<SearchResult>();
template <> PyTypeObject* type_of<DistanceTypePy>();
template <> PyTypeObject* type_of<FlatIndex>();
template <> PyTypeObject* type_of<HNSWIndex>();
template <> PyTypeObject* type_of<IndexRegistry>();
template <> PyTypeObject* type_of<TrajectoryCoordinate>();
template <> PyTypeObject* type_of<TrajectoryCoordinate5D>();
template <> PyTypeObject* type_of<TesselWeights>();

namespace functions {
PyMethodDef* cosine_similarity();
PyMethodDef* euclidean_distance();
PyMethodDef* normalize();
PyMethodDef* trajectory_weighted_cosine();
PyMethodDef* trajectory_weighted_cosine_5d();
}  // namespace functions

}  // namespace halyard::bind
