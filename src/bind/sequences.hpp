// Sequence arguments read in bulk: context coordinates and embedding lists.
#pragma once

#include <vector>

#include "framework/convert.hpp"
#include "trajectory/coordinates.hpp"

namespace halyard::bind {

// A sequence of TrajectoryCoordinate5D objects, copied out. The class has no
// operation that borrows its objects exclusively, so the shared borrow that
// a single coordinate argument takes could never conflict; skipping it keeps
// a long context list cheap to read.
struct Coord5Seq {
    std::vector<TrajectoryCoordinate5D> items;
};

template <>
struct Caster<Coord5Seq> {
    static Coord5Seq load(PyObject* obj) {
        Coord5Seq out;
        using C5 = TrajectoryCoordinate5D;
        PyTypeObject* type = checked_type_of<C5>();
        for_each_item(obj, [&](PyObject* item) {
            if (!PyObject_TypeCheck(item, type)) raise_cannot_convert(item, class_name<C5>().c_str());
            out.items.push_back(value_of<C5>(item));
        });
        return out;
    }
};

// A sequence of one-dimensional float32 arrays, each in the "array" form.
// Lists and tuples reserve their length up front, so the arrays are not
// moved again while the sequence is read.
struct ArraySeq {
    std::vector<ArrayF32> items;
};

template <>
struct Caster<ArraySeq> {
    static ArraySeq load(PyObject* obj) {
        ArraySeq out;
        if (PyList_Check(obj)) out.items.reserve(static_cast<size_t>(PyList_Size(obj)));
        else if (PyTuple_Check(obj)) out.items.reserve(static_cast<size_t>(PyTuple_Size(obj)));
        for_each_item(obj, [&](PyObject* item) { out.items.push_back(ArrayF32::load(item)); });
        return out;
    }
};

}  // namespace halyard::bind
