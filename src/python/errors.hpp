// How the engine's errors reach Python, for both modules.
//
// pybind11 turns a std::runtime_error into RuntimeError by decoding its message as strict
// UTF-8, and a message that is not UTF-8 turns into a UnicodeDecodeError instead. Boost.Regex
// quotes the bytes of a bad pattern around the error position and can cut a UTF-8 character
// in half there, and paths in messages need not be UTF-8 at all. So messages are decoded with
// replacement: an invalid pattern always raises RuntimeError. The other standard exceptions
// keep pybind11's own translation.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <stdexcept>
#include <typeinfo>

#include <boost/regex.hpp>

namespace velmira {

inline void raiseRuntimeError(const char* message) {
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace");
    if (text == nullptr) return;  // the decoder's own error (memory) stands
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
}

inline void registerErrorTranslation() {
    pybind11::register_local_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const boost::regex_error& e) {
            raiseRuntimeError(e.what());
        } catch (const std::runtime_error& e) {
            // Only the plain type: range, overflow and underflow errors keep their own mapping.
            if (typeid(e) != typeid(std::runtime_error)) throw;
            raiseRuntimeError(e.what());
        }
    });
}

}  // namespace velmira
