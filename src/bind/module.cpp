// The module entry point and the one registration list.
#include <atomic>

#include "registry.hpp"
#include "trajectory/coordinates.hpp"

namespace halyard::bind {

namespace {

struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};

struct FunctionEntry {
    PyMethodDef* (*def)();
};

// Classes, in the order the module exposes them.
const ClassEntry kClasses[] = {
    {"OutcomeStats", &type_of<OutcomeStats>},
    {"MemoryRecord", &type_of<MemoryRecord>},
    {"SearchResult", &type_of<SearchResult>},
    {"DistanceType", &type_of<DistanceTypePy>},
    {"FlatIndex", &type_of<FlatIndex>},
    {"HNSWIndex", &type_of<HNSWIndex>},
    {"IndexRegistry", &type_of<IndexRegistry>},
    {"InMemoryStore", &type_of<InMemoryStore>},
    {"QueryCache", &type_of<QueryCache>},
    {"CacheStats", &type_of<CacheStats>},
    {"TrajectoryCoordinate", &type_of<TrajectoryCoordinate>},
    {"TrajectoryCoordinate5D", &type_of<TrajectoryCoordinate5D>},
    {"TrajectoryPhase", &type_of<TrajectoryPhase>},
    {"Feedback", &type_of<Feedback>},
    {"TurnFeatures", &type_of<TurnFeatures>},
    {"PhaseInferencer", &type_of<PhaseInferencer>},
    {"SalienceFactors", &type_of<SalienceFactors>},
    {"TurnSalience", &type_of<TurnSalience>},
    {"SalienceScorer", &type_of<SalienceScorer>},
    {"PathQualityWeights", &type_of<PathQualityWeights>},
    {"PathQualityFactors", &type_of<PathQualityFactors>},
    {"PathQuality", &type_of<PathQuality>},
    {"TesselWeights", &type_of<TesselWeights>},
    {"IRCPConfig", &type_of<IRCPConfig>},
    {"AttentionWeights", &type_of<AttentionWeights>},
    {"IRCPPropagator", &type_of<IRCPPropagator>},
    {"LinkType", &type_of<LinkType>},
    {"ChainLink", &type_of<ChainLink>},
    {"ChainLinkEstimatorConfig", &type_of<ChainLinkEstimatorConfig>},
    {"ChainLinkEstimate", &type_of<ChainLinkEstimate>},
    {"ChainLinkEstimator", &type_of<ChainLinkEstimator>},
    {"CoordinateTree", &type_of<CoordinateTree>},
    {"Ring", &type_of<Ring>},
    {"DualRing", &type_of<DualRing>},
    {"EdgeType", &type_of<EdgeType>},
    {"Episode", &type_of<Episode>},
    {"TrajectoryGraph", &type_of<TrajectoryGraph>},
    {"ConservationMetrics", &type_of<ConservationMetrics>},
    {"BranchStatus", &type_of<BranchStatus>},
    {"RecoveryStrategy", &type_of<RecoveryStrategy>},
    {"LostReason", &type_of<LostReason>},
    {"Branch", &type_of<Branch>},
    {"RecoverableBranch", &type_of<RecoverableBranch>},
    {"BranchStateMachine", &type_of<BranchStateMachine>},
    {"BranchResolver", &type_of<BranchResolver>},
    {"CrossChainLinkType", &type_of<CrossChainLinkType>},
    {"LinkStrength", &type_of<LinkStrength>},
    {"ChainMetadata", &type_of<ChainMetadata>},
    {"CrossChainLink", &type_of<CrossChainLink>},
    {"ChainManager", &type_of<ChainManager>},
};

// Module functions, added after all classes.
const FunctionEntry kFunctions[] = {
    {&functions::cosine_similarity},
    {&functions::euclidean_distance},
    {&functions::normalize},
    {&functions::trajectory_weighted_cosine},
    {&functions::trajectory_weighted_cosine_5d},
    {&functions::detect_knowledge_transfer},
    {&functions::compute_trajectory_coordinates},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_halyard_rs", "Halyard Python module", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

bool populate(PyObject* module) {
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (!type || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) return false;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return false;
    for (const FunctionEntry& entry : kFunctions) {
        PyMethodDef* def = entry.def();
        PyObject* function = def ? PyCFunction_NewEx(def, nullptr, module_name) : nullptr;
        if (!function || PyModule_AddObject(module, def->ml_name, function) < 0) {
            Py_XDECREF(function);
            Py_DECREF(module_name);
            return false;
        }
    }
    Py_DECREF(module_name);
    return PyModule_AddStringConstant(module, "__version__", "0.1.0") == 0;
}

PyObject* create_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "halyard._halyard_rs does not support sub-interpreters: it can only be imported once per "
                        "process, in one interpreter");
        return nullptr;
    }
    if (cached_module) return Py_NewRef(cached_module);
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    if (!populate(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    cached_module = Py_NewRef(module);
    return module;
}

}  // namespace

}  // namespace halyard::bind

PyMODINIT_FUNC PyInit__halyard_rs(void) {
    return halyard::bind::boundary<PyObject*>(nullptr, [] { return halyard::bind::create_module(); });
}
