// The velmira_ext module: the Python face of Inf. One .def per member, in
// registration order; pybind11's standard conversions and exception translation
// do the rest. Every call holds the interpreter lock for its whole length, which
// is what serialises calls on one object, so a setter never runs during a pass.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "inf.hpp"
#include "python/errors.hpp"

namespace py = pybind11;

PYBIND11_MODULE(velmira_ext, m) {
    m.doc() = "The velmira Python interface";
    velmira::registerErrorTranslation();

    py::class_<Inf>(m, "Inf")
        .def(py::init<std::string, char, Inf::PatternStrings, std::unordered_set<std::string>,
                      bool, bool, std::string, int>(),
             py::arg("filepath"), py::arg("delimiter"), py::arg("col_type_patterns"),
             py::arg("na_values"), py::arg("multithreading"), py::arg("save_types_file"),
             py::arg("types_filepath"), py::arg("rolling_cache_window"))
        .def("infer_types", &Inf::inferTypes)
        .def("set_col_type_patterns", &Inf::setColTypePatterns)
        .def("set_na_values", &Inf::setNaValues)
        .def("set_filepath", &Inf::setFilepath)
        .def("set_delimiter", &Inf::setDelimiter)
        .def("set_multithreading", &Inf::setMultithreading)
        .def("set_save_types_file", &Inf::setSaveTypesFile)
        .def("set_types_filepath", &Inf::setTypesFilepath)
        .def("set_rolling_cache_window", &Inf::setRollingCacheWindow)
        .def("get_col_type_patterns", &Inf::getColTypePatterns)
        .def("get_na_values", &Inf::getNaValues)
        .def("get_filepath", &Inf::getFilepath)
        .def("get_delimiter", &Inf::getDelimiter)
        .def("get_multithreading", &Inf::getMultithreading)
        .def("get_save_types_file", &Inf::getSaveTypesFile)
        .def("get_types_filepath", &Inf::getTypesFilepath)
        .def("get_rolling_cache_window", &Inf::getRollingCacheWindow)
        .def("get_col_type_candidates", &Inf::getColTypeCandidates)
        .def_property_readonly("num_rows", &Inf::getNumRows, "")
        .def_property_readonly("col_names", &Inf::getColNames, "");
}
