// Parameter lists parsed from text signatures, and the matcher that turns
// (args, kwargs) into one slot per parameter with Python's own messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "framework/python.hpp"

namespace halyard::bind {

constexpr size_t kMaxParams = 12;

struct Signature {
    std::string call_name;            // "FlatIndex.search()", "normalize()"
    std::vector<std::string> names;   // without $self
    std::vector<PyObject*> interned;  // interned names, for fast keyword lookup
    std::vector<bool> optional;       // parameter has a default
    size_t required = 0;

    size_t size() const { return names.size(); }
};

// `text` is a text signature such as "distance($self, other)" or
// "(dim=1)"; returns a Signature that lives for the rest of the process.
Signature* parse_signature(std::string_view text, std::string call_name);

// Fill `slots` (kMaxParams entries, borrowed references, nullptr = absent).
void match_fastcall(const Signature& sig, PyObject* const* args, size_t nargs, PyObject* kwnames,
                    PyObject** slots);
void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace halyard::bind
