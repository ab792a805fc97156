// velmira._native: the velmira package's own entry point into the engine. velmira_ext keeps
// its fixed interface; what the package needs beyond it is bound here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/regex.hpp>
#include <string>
#include <utility>

#include "matcher.hpp"
#include "python_errors.hpp"

namespace py = pybind11;

namespace {

// ("pcre2-jit", "") or ("boost", why it is not on PCRE2). An invalid pattern raises
// RuntimeError with Boost's message, as the engine does.
std::pair<std::string, std::string> patternEngine(const std::string& pattern) {
    const velmira::Pattern compiled(boost::regex(pattern, boost::regex_constants::normal));
    return {velmira::engineName(compiled.engine()), compiled.whyBoost()};
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The velmira package's native entry point";
    velmira::registerErrorTranslation();

    m.def("pattern_engine", &patternEngine, py::arg("pattern"),
          "Which engine answers a pattern: ('pcre2-jit', '') or ('boost', the reason it is not on PCRE2).");
}
