#include "framework/signature.hpp"

#include "common/errors.hpp"
#include "framework/errors.hpp"

namespace halyard::bind {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

[[noreturn]] void too_many(const Signature& sig, size_t given) {
    std::string text = sig.call_name + " takes ";
    if (sig.required < sig.size())
        text += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.size());
    else
        text += std::to_string(sig.size());
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(text);
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    if (!PyUnicode_Check(key)) raise_type_error(sig.call_name + " keywords must be strings");
    size_t index = sig.size();
    for (size_t i = 0; i < sig.size(); ++i)
        if (sig.interned[i] == key) {
            index = i;
            break;
        }
    for (size_t i = 0; index == sig.size() && i < sig.size(); ++i) {
        const int order = PyUnicode_Compare(sig.interned[i], key);
        if (order == -1 && PyErr_Occurred()) throw_error_set();
        if (order == 0) index = i;
    }
    // The keyword is echoed as the str it is (NULs, any code point).
    if (index == sig.size())
        raise_object(PyExc_TypeError, PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                           sig.call_name.c_str(), key));
    if (slots[index])
        raise_type_error(sig.call_name + " got multiple values for argument '" + sig.names[index] + "'");
    slots[index] = value;
}

void check_missing(const Signature& sig, PyObject** slots) {
    std::vector<const std::string*> missing;
    for (size_t i = 0; i < sig.size(); ++i)
        if (!slots[i] && !sig.optional[i]) missing.push_back(&sig.names[i]);
    if (missing.empty()) return;
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) list += (missing.size() == 2) ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        list += "'" + *missing[i] + "'";
    }
    raise_type_error(sig.call_name + " missing " + std::to_string(missing.size()) + " required positional argument" +
                     (missing.size() == 1 ? "" : "s") + ": " + list);
}

}  // namespace

Signature* parse_signature(std::string_view text, std::string call_name) {
    auto* sig = new Signature;  // lives as long as the type or function that uses it
    sig->call_name = std::move(call_name);
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw InternalFailure("malformed text signature: " + std::string(text));
    std::string_view params = text.substr(open + 1, close - open - 1);
    // Split at commas outside quotes.
    std::vector<std::string_view> parts;
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i <= params.size(); ++i) {
        const char c = i < params.size() ? params[i] : ',';
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ',') {
            parts.push_back(trim(params.substr(start, i - start)));
            start = i + 1;
        }
    }
    for (std::string_view part : parts) {
        if (part.empty() || part.front() == '$' || part == "/" || part == "*") continue;
        const size_t eq = part.find('=');
        const std::string name(trim(part.substr(0, eq)));
        sig->names.push_back(name);
        sig->optional.push_back(eq != std::string_view::npos);
        if (eq == std::string_view::npos) ++sig->required;
        PyObject* interned = PyUnicode_InternFromString(name.c_str());
        if (!interned) throw_error_set();
        sig->interned.push_back(interned);
    }
    if (sig->size() > kMaxParams) throw InternalFailure("too many parameters: " + std::string(text));
    return sig;
}

void match_fastcall(const Signature& sig, PyObject* const* args, size_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    if (nargs > sig.size()) too_many(sig, nargs);
    for (size_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            place_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + static_cast<size_t>(k)], slots);
    }
    check_missing(sig, slots);
}

void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw_error_set();
    if (static_cast<size_t>(nargs) > sig.size()) too_many(sig, static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, slots);
    }
    check_missing(sig, slots);
}

}  // namespace halyard::bind
