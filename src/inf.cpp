#include "inf.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>

Inf::Inf(std::string filepath_, char delimiter_, PatternStrings colTypePatterns_,
         std::unordered_set<std::string> naValues_, bool multithreading_, bool saveTypesFile_,
         std::string typesFilepath_, int rollingCacheWindow_)
    : filepath(std::move(filepath_)),
      delimiter(delimiter_),
      naValues(std::move(naValues_)),
      multithreading(multithreading_),
      saveTypesFile(saveTypesFile_),
      typesFilepath(std::move(typesFilepath_)),
      rollingCacheWindow(rollingCacheWindow_) {
    // Compiled last, so that a bad pattern fails the whole construction.
    setColTypePatterns(std::move(colTypePatterns_));
}

void Inf::setFilepath(std::string value) { filepath = std::move(value); }
void Inf::setDelimiter(char value) { delimiter = value; }
void Inf::setMultithreading(bool value) { multithreading = value; }
void Inf::setSaveTypesFile(bool value) { saveTypesFile = value; }
void Inf::setTypesFilepath(std::string value) { typesFilepath = std::move(value); }
void Inf::setRollingCacheWindow(int value) { rollingCacheWindow = value; }
void Inf::setNaValues(std::unordered_set<std::string> values) { naValues = std::move(values); }

void Inf::setColTypePatterns(PatternStrings patterns) {
    colTypePatterns.clear();
    for (auto& [typeName, sources] : patterns) {
        auto& compiled = colTypePatterns[typeName];
        compiled.reserve(sources.size());
        for (const auto& source : sources) {
            compiled.emplace_back(source, boost::regex_constants::normal);
        }
    }
}

std::string Inf::getFilepath() const { return filepath; }
char Inf::getDelimiter() const { return delimiter; }
bool Inf::getMultithreading() const { return multithreading; }
bool Inf::getSaveTypesFile() const { return saveTypesFile; }
std::string Inf::getTypesFilepath() const { return typesFilepath; }
int Inf::getRollingCacheWindow() const { return rollingCacheWindow; }
std::unordered_set<std::string> Inf::getNaValues() const { return naValues; }

Inf::PatternStrings Inf::getColTypePatterns() const {
    PatternStrings result;
    for (const auto& [typeName, compiled] : colTypePatterns) {
        auto& sources = result[typeName];
        sources.reserve(compiled.size());
        for (const auto& re : compiled) sources.push_back(re.str());
    }
    return result;
}

// ---------------------------------------------------------------------------
// Python binding: one .def per member, in registration order.

namespace py = pybind11;

PYBIND11_MODULE(velmira_ext, m) {
    m.doc() = "The velmira Python interface";

    py::class_<Inf>(m, "Inf")
        .def(py::init<std::string, char, Inf::PatternStrings, std::unordered_set<std::string>,
                      bool, bool, std::string, int>(),
             py::arg("filepath"), py::arg("delimiter"), py::arg("col_type_patterns"),
             py::arg("na_values"), py::arg("multithreading"), py::arg("save_types_file"),
             py::arg("types_filepath"), py::arg("rolling_cache_window"))
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
        .def("get_rolling_cache_window", &Inf::getRollingCacheWindow);
}
