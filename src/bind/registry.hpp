// Declarations of every class and module function the module registers.
// Each binding file defines the entries of its area; module.cpp adds them
// to the module in the documented order.
#pragma once

#include "framework/class.hpp"

namespace halyard {
class OutcomeStats;
struct MemoryRecord;
class InMemoryStore;
class QueryCache;
struct CacheStats;
struct TrajectoryCoordinate;
struct TrajectoryCoordinate5D;
struct TesselWeights;
}  // namespace halyard

namespace halyard::bind {

template <> PyTypeObject* type_of<OutcomeStats>();
template <> PyTypeObject* type_of<MemoryRecord>();
template <> PyTypeObject* type_of<InMemoryStore>();
template <> PyTypeObject* type_of<QueryCache>();
template <> PyTypeObject* type_of<CacheStats>();
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
