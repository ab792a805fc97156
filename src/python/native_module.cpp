// velmira._native: the velmira package's own entry point into the engine. velmira_ext keeps
// its fixed interface (a path, the interpreter's lock held for the whole pass); what the
// package needs beyond it is bound here: input from anything that gives bytes, compressed or
// not, a pass that lets other Python threads run, reports progress and can be stopped, and
// the typed reader's pass, which hands Arrow batches to any consumer of the C stream interface.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <boost/regex.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "arrow/batch_reader.hpp"
#include "arrow/c_abi.hpp"
#include "arrow/stream.hpp"
#include "convert/datetime.hpp"
#include "convert/numbers.hpp"
#include "csv/parser.hpp"
#include "inf.hpp"
#include "input/input.hpp"
#include "match/matcher.hpp"
#include "python/errors.hpp"
#include "row_batch.hpp"
#include "match/type_table.hpp"

namespace py = pybind11;

namespace {

// A field or header row longer than the pass allows; ValueError in Python.
class FieldTooLongError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ("pcre2-jit", "") or ("boost", why it is not on PCRE2). An invalid pattern raises
// RuntimeError with Boost's message, as the engine does.
std::pair<std::string, std::string> patternEngine(const std::string& pattern) {
    const velmira::Pattern compiled(boost::regex(pattern, boost::regex_constants::normal));
    return {velmira::engineName(compiled.engine()), compiled.whyBoost()};
}

// A Python binary file object, read with the interpreter's lock taken for each read. Whatever
// the object returns is checked: a wrong type or count is the object's fault and says so.
class PythonSource final : public velmira::RawSource {
public:
    explicit PythonSource(py::object file) : file_(std::move(file)), readinto_(py::hasattr(file_, "readinto")) {}
    ~PythonSource() override {
        py::gil_scoped_acquire gil;
        file_ = py::object();
    }

    std::size_t read(char* buffer, std::size_t size) override {
        py::gil_scoped_acquire gil;
        if (readinto_) {
            py::memoryview view = py::memoryview::from_memory(buffer, static_cast<py::ssize_t>(size));
            py::object got = file_.attr("readinto")(view);
            // The object must not keep a view of memory it does not own.
            view.attr("release")();
            return checkedCount(got, size, "readinto()");
        }
        py::object got = file_.attr("read")(size);
        if (got.is_none()) noDataReady("read()");
        if (py::isinstance<py::str>(got)) {
            throw py::type_error("the file object gives text, not bytes: open it in binary mode ('rb')");
        }
        if (!PyObject_CheckBuffer(got.ptr())) {
            throw py::type_error("the file object's read() returned " + typeName(got) + ", not bytes");
        }
        // bytes, bytearray, memoryview: anything that holds bytes.
        const py::buffer_info bytes = py::reinterpret_borrow<py::buffer>(got).request();
        const auto length = static_cast<std::size_t>(bytes.size * bytes.itemsize);
        if (length > size) {
            throw py::value_error("the file object's read() returned " + std::to_string(length) +
                                  " bytes when asked for at most " + std::to_string(size));
        }
        if (length != 0) std::memcpy(buffer, bytes.ptr, length);
        return length;
    }

private:
    static std::string typeName(const py::handle& object) {
        return "a " + std::string(py::str(py::type::of(object).attr("__name__")));
    }
    [[noreturn]] static void noDataReady(const char* method) {
        PyErr_Format(PyExc_BlockingIOError,
                     "the file object's %s returned None: it has no data ready (is it non-blocking?)", method);
        throw py::error_already_set();
    }
    static std::size_t checkedCount(const py::object& got, std::size_t size, const char* method) {
        if (got.is_none()) noDataReady(method);
        if (!PyLong_Check(got.ptr()) || PyBool_Check(got.ptr())) {
            throw py::type_error(std::string("the file object's ") + method + " returned " + typeName(got) +
                                 ", not a count of bytes");
        }
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(got.ptr(), &overflow);
        if (overflow != 0 || n < 0 || static_cast<unsigned long long>(n) > size) {
            throw py::value_error(std::string("the file object's ") + method + " returned " +
                                  std::string(py::repr(got)).substr(0, 40) + " for a buffer of " +
                                  std::to_string(size) + " bytes");
        }
        return static_cast<std::size_t>(n);
    }

    py::object file_;
    bool readinto_;
};

// The Python face of an Input: what it reads from, for messages, and whether that is Python.
struct InputHandle {
    std::unique_ptr<velmira::Input> input;
    bool fromPython = false;
    std::uint64_t size = 0;  // of the raw source, when known
    // Outside a pass (opening, peeking), what lets Ctrl-C stop a read that waits for a pipe
    // or a terminal: a look at the interpreter's signals a few times a second.
    std::function<void()> interruptible;

    velmira::Input& get() {
        if (!input) throw py::value_error("the input is closed");
        return *input;
    }
};

// OSError with errno's class (FileNotFoundError, ...) and the file's name as the caller gave it.
[[noreturn]] void raiseOSError(const std::system_error& e, const py::object& filename) {
    errno = e.code().value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

// The bytes of a path as the file system takes them: a str is encoded as os.fsencode does,
// so that a name that is not UTF-8 (kept in str as surrogate escapes) names the same file.
std::string pathBytes(const py::object& source) {
    if (py::isinstance<py::bytes>(source)) return std::string(source.cast<py::bytes>());
    PyObject* encoded = PyUnicode_EncodeFSDefault(source.ptr());
    if (encoded == nullptr) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(encoded));
}

// A signal check for waits, taken no more often than every 100 ms: it needs the lock.
std::function<void()> signalCheck() {
    using Clock = std::chrono::steady_clock;
    auto next = std::make_shared<Clock::time_point>(Clock::now());
    return [next]() {
        const Clock::time_point now = Clock::now();
        if (now < *next) return;
        *next = now + std::chrono::milliseconds(100);
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
}

std::unique_ptr<InputHandle> openInput(const py::object& source) {
    auto handle = std::make_unique<InputHandle>();
    std::unique_ptr<velmira::RawSource> raw;
    if (py::isinstance<py::str>(source) || py::isinstance<py::bytes>(source)) {
        const std::string path = pathBytes(source);
        try {
            raw = path == "-" ? std::make_unique<velmira::FdSource>(0, false)
                              : std::make_unique<velmira::FdSource>(path);
        } catch (const std::system_error& e) {
            raiseOSError(e, source);
        }
    } else if (py::hasattr(source, "readinto") || py::hasattr(source, "read")) {
        raw = std::make_unique<PythonSource>(source);
        handle->fromPython = true;
    } else {
        throw py::type_error("expected a path, '-' or a binary file object, not " +
                             std::string(py::str(py::type::of(source).attr("__name__"))));
    }
    handle->size = raw->size();
    handle->interruptible = signalCheck();
    try {
        // The first bytes of a pipe may take a while. A Python source takes the lock for each
        // read and gets no thread of its own: its reads must come from the thread that
        // checks for signals.
        py::gil_scoped_release release;
        handle->input = std::make_unique<velmira::Input>(std::move(raw), !handle->fromPython, &handle->interruptible);
    } catch (const std::system_error& e) {
        raiseOSError(e, source);
    }
    return handle;
}

// Runs `body` without the interpreter's lock: a Python source takes it for each read.
template <class Body>
auto withoutLock(Body&& body) {
    py::gil_scoped_release release;
    return body();
}

// A pass's failure as Python should see it: a field over the limit says which row; a types
// file names itself.
[[noreturn]] void rethrowForPython(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const tessel::csv::FieldTooLong& e) {
        const std::string limit = std::to_string(e.limit) + " bytes (max_field_size)";
        throw FieldTooLongError(e.wholeRow ? "the header row is longer than the limit of " + limit
                                           : "row " + std::to_string(e.row) +
                                                 " has a field longer than the limit of " + limit);
    } catch (const TypesFileError& e) {
        raiseOSError(e, py::bytes(e.path));
    }
}

// (column names as bytes, per column its counts, data rows)
py::tuple resultsOf(const Inf& inf) {
    const auto candidates = inf.getColTypeCandidates();
    py::list names, counts;
    for (const std::string& name : inf.getColNames()) {
        names.append(py::bytes(name));
        py::dict table;
        const auto found = candidates.find(name);
        if (found != candidates.end()) {
            for (const auto& [type, count] : found->second) table[py::str(type)] = count;
        }
        counts.append(table);
    }
    return py::make_tuple(names, counts, inf.getNumRows());
}

// {type name: (kind, group, point)}, kind one of "number", "temporal", "boolean".
std::unordered_map<std::string, velmira::Reading> readingsOf(const py::handle& given) {
    std::unordered_map<std::string, velmira::Reading> readings;
    for (const auto& item : py::reinterpret_borrow<py::dict>(given)) {
        const auto triple = item.second.cast<std::tuple<std::string, std::string, std::string>>();
        velmira::Reading reading;
        const std::string& kind = std::get<0>(triple);
        if (kind == "number") {
            reading.kind = velmira::Reading::Kind::Number;
        } else if (kind == "temporal") {
            reading.kind = velmira::Reading::Kind::Temporal;
        } else if (kind == "boolean") {
            reading.kind = velmira::Reading::Kind::Boolean;
        } else if (kind != "text") {
            throw py::value_error("unknown reading '" + kind + "'");
        }
        const std::string& group = std::get<1>(triple);
        const std::string& point = std::get<2>(triple);
        if (group.size() > 1 || point.size() > 1) throw py::value_error("a separator is one byte or none");
        reading.group = group.empty() ? '\0' : group[0];
        reading.point = point.empty() ? '\0' : point[0];
        readings[item.first.cast<std::string>()] = reading;
    }
    return readings;
}

py::object pyInt128(__int128 value) {
    const bool negative = value < 0;
    unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(-(value + 1)) + 1
                                           : static_cast<unsigned __int128>(value);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) digits.insert(digits.begin(), '-');
    return py::reinterpret_steal<py::object>(PyLong_FromString(digits.c_str(), nullptr, 10));
}

// Fills measures["columns"] (column name as bytes -> what was measured) and
// measures["missing"] (per column, the data rows too short to reach it).
void reportMeasures(const Inf& inf, const py::object& measures) {
    py::dict columns;
    for (const auto& [name, m] : inf.getColumnMeasures()) {
        py::dict column;
        column["max_bytes"] = m.maxBytes;
        column["max_chars"] = m.maxChars;
        py::dict types;
        for (std::size_t id = 0; id < m.byType.size(); ++id) {
            const velmira::TypeMeasure& t = m.byType[id];
            if (t.seen == 0) continue;
            py::dict d;
            d["seen"] = t.seen;
            if (t.anyInteger) {
                d["min_int"] = pyInt128(t.minInteger);
                d["max_int"] = pyInt128(t.maxInteger);
            }
            d["int_overflow"] = t.integerOverflow;
            d["int_digits"] = t.integerDigits;
            d["scale"] = t.scale;
            d["exponent"] = t.exponent;
            d["zoned"] = t.zoned;
            d["naive"] = t.naive;
            d["fraction_digits"] = t.fractionDigits;
            d["fraction_comma"] = t.fractionComma;
            py::list spellings;
            for (const std::string& text : t.spellings) spellings.append(py::bytes(text));
            d["spellings"] = spellings;
            types[py::str(inf.typeName(static_cast<Inf::TypeIdPublic>(id)))] = d;
        }
        column["types"] = types;
        columns[py::bytes(name)] = column;
    }
    measures["columns"] = columns;
    py::list missing;
    for (const std::uint64_t rows : inf.getRowsMissingColumn()) missing.append(rows);
    measures["missing"] = missing;
}

// One pass over an input. Returns (column names as bytes, per column its counts, data rows).
py::tuple infer(InputHandle& handle, char delimiter, const velmira::TypeTable& types,
                const std::unordered_set<std::string>& naValues, bool multithreading, const py::object& typesFile,
                int window, const py::object& progress, std::size_t maxFieldSize, const py::object& shapes,
                bool skipBlankLines, char quote, bool blankRuns, bool lfRows, int comment, std::size_t headerWidth,
                bool exclusiveTypes, const py::object& measures) {
    velmira::Input& input = handle.get();
    const bool writeTypes = !typesFile.is_none();
    Inf inf(std::string(), delimiter, {}, naValues, multithreading, writeTypes,
            writeTypes ? pathBytes(typesFile) : std::string(), window);
    inf.adoptTypeTable(types);
    Inf::StreamOptions options;
    options.maxFieldSize = maxFieldSize;
    options.strictTypesFile = true;
    options.quote = quote;
    options.blankRuns = blankRuns;
    options.lfRows = lfRows;
    options.exclusiveTypes = exclusiveTypes;
    std::unordered_map<std::string, velmira::Reading> readings;
    if (!measures.is_none()) {
        readings = readingsOf(measures["readings"]);
        options.readings = &readings;
    }
    velmira::RowShapes rowShapes;
    rowShapes.skipBlank = skipBlankLines;
    rowShapes.comment = comment;
    rowShapes.width = headerWidth;
    if (!shapes.is_none()) options.shapes = &rowShapes;

    // Between batches: now and then, take the lock to report progress and to let the
    // interpreter run its signal handlers, so that Ctrl-C (KeyboardInterrupt) or an
    // exception from the callback stops the pass.
    using Clock = std::chrono::steady_clock;
    constexpr auto kEvery = std::chrono::milliseconds(200);
    Clock::time_point next = Clock::now() + kEvery;
    const std::uint64_t total = handle.size;
    auto report = [&]() {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress.is_none()) {
            progress(input.rawBytes(), total != 0 ? py::object(py::int_(total)) : py::object(py::none()));
        }
    };
    const std::function<void()> checkpoint = [&]() {
        const Clock::time_point now = Clock::now();
        if (now < next) return;
        next = now + kEvery;
        py::gil_scoped_acquire gil;
        report();
    };

    std::exception_ptr failure;
    {
        py::gil_scoped_release release;
        std::istream stream(&input);
        // Errors of the input (and of the checkpoint) reach here as thrown.
        stream.exceptions(std::ios::badbit);
        const std::function<void()>* outside = input.checkpoint();
        input.setCheckpoint(&checkpoint);
        try {
            const std::uint64_t size = input.compression() == velmira::Compression::None ? handle.size : 0;
            inf.inferTypesFrom(stream, size, checkpoint, options);
        } catch (...) {
            failure = std::current_exception();
        }
        input.setCheckpoint(outside);
    }
    if (failure) rethrowForPython(failure);
    report();
    if (!shapes.is_none()) {
        shapes["wider"] = rowShapes.wider;
        shapes["first_wider"] = rowShapes.firstWider;
        shapes["widest"] = rowShapes.widest;
        shapes["narrower"] = rowShapes.narrower;
        shapes["first_narrower"] = rowShapes.firstNarrower;
        shapes["blank"] = rowShapes.blank;
        shapes["comments"] = rowShapes.comments;
        shapes["headers"] = rowShapes.headers;
        shapes["first_header"] = rowShapes.firstHeader;
    }
    if (!measures.is_none()) reportMeasures(inf, measures);
    return resultsOf(inf);
}

// A table of type name to patterns, compiled in the dict's order, so that the pattern named
// in an error is the first bad one as the caller wrote them.
velmira::TypeTable compileTypes(const py::dict& types) {
    std::vector<velmira::TypeTable::Entry> entries;
    entries.reserve(types.size());
    for (const auto& [name, patterns] : types) {
        entries.emplace_back(name.cast<std::string>(), patterns.cast<std::vector<std::string>>());
    }
    return velmira::TypeTable::compile(entries);
}

// Bytes as they are; str as UTF-8, as the engine reads patterns and markers.
std::string textBytes(const py::handle& text) {
    if (py::isinstance<py::bytes>(text)) return std::string(py::reinterpret_borrow<py::bytes>(text));
    return text.cast<std::string>();
}

py::list classify(const velmira::TypeTable& table, const py::iterable& texts, bool all) {
    velmira::MatchScratch scratch;
    py::list result;
    for (const py::handle& item : texts) {
        const std::string text = textBytes(item);
        if (all) {
            result.append(py::cast(table.allMatches(text, scratch)));
        } else {
            const std::string* type = table.firstMatch(text, scratch);
            result.append(py::str(type != nullptr ? *type : std::string("other")));
        }
    }
    return result;
}

py::dict engines(const velmira::TypeTable& table) {
    py::dict result;
    for (const std::string& name : table.names()) {
        py::list rows;
        const auto& regexes = table.regexes.at(name);
        const auto& matchers = table.matchers.at(name);
        for (std::size_t i = 0; i < regexes.size(); ++i) {
            rows.append(py::make_tuple(regexes[i].str(), velmira::engineName(matchers[i].engine()),
                                       matchers[i].whyBoost()));
        }
        result[py::str(name)] = rows;
    }
    return result;
}

// Compiled type tables, and the classification of single texts.
void bindTypes(py::module_& m) {
    static py::exception<velmira::PatternCompileError> patternError(m, "PatternCompileError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const velmira::PatternCompileError& e) {
            // (type name, pattern, Boost's message), the message decoded with replacement
            // since Boost may cut a UTF-8 character where it quotes the pattern.
            py::object reason = py::reinterpret_steal<py::object>(
                PyUnicode_DecodeUTF8(e.reason.data(), static_cast<Py_ssize_t>(e.reason.size()), "replace"));
            py::tuple args = py::make_tuple(py::str(e.typeName), py::str(e.pattern), reason);
            PyErr_SetObject(patternError.ptr(), args.ptr());
        }
    });

    py::class_<velmira::TypeTable>(m, "TypeTable", "A table of type patterns, compiled once (compile_types).")
        .def_property_readonly("names", &velmira::TypeTable::names,
                               "The type names, in the order in which a new column tries them.")
        .def("engines", &engines,
             "Type name to a list of (pattern, engine, why): 'pcre2-jit' or 'boost' with the reason.");

    m.def("compile_types", &compileTypes, py::arg("types"),
          "Compiles a dict of type name to patterns once. Raises PatternCompileError (a ValueError) "
          "with args (type name, pattern, reason) for the first pattern that does not compile.");
    m.def("classify", &classify, py::arg("table"), py::arg("texts"), py::arg("all") = false,
          "Each text's type as a new column decides it (the first matching type in the table's "
          "order, or 'other'); with all=True, the list of every type that matches each text.");

    m.def("pattern_engine", &patternEngine, py::arg("pattern"),
          "Which engine answers a pattern: ('pcre2-jit', '') or ('boost', the reason it is not on PCRE2).");
}

// The bytes of a pass.
void bindInput(py::module_& m) {
    py::class_<InputHandle>(m, "Input",
                            "The bytes of one pass: a path, '-' (standard input) or a binary file object, "
                            "decompressed when they start like gzip, zstd, bzip2 or xz.")
        .def(py::init(&openInput), py::arg("source"))
        .def_property_readonly(
            "compression",
            [](InputHandle& h) -> py::object {
                const char* name = velmira::compressionName(h.get().compression());
                return *name ? py::object(py::str(name)) : py::object(py::none());
            },
            "'gzip', 'zstd', 'bzip2', 'xz' or None.")
        .def_property_readonly(
            "size", [](InputHandle& h) -> py::object { return h.size ? py::object(py::int_(h.size)) : py::none(); },
            "The length of what is read (compressed, if it is), when known.")
        .def_property_readonly(
            "raw_bytes", [](InputHandle& h) { return h.get().rawBytes(); },
            "Bytes read so far from the source (compressed bytes, if it is compressed).")
        .def(
            "peek",
            [](InputHandle& h, std::size_t n) {
                const std::string head = withoutLock([&] { return h.get().peek(n); });
                return py::bytes(head);
            },
            py::arg("n"), "Up to n bytes of what comes next, without consuming them.")
        .def(
            "skip", [](InputHandle& h, std::size_t n) { return withoutLock([&] { return h.get().skip(n); }); },
            py::arg("n"), "Drops up to n bytes of what comes next; returns how many.")
        .def(
            "prepend", [](InputHandle& h, const py::bytes& bytes) { h.get().prepend(std::string(bytes)); },
            py::arg("bytes"), "Puts bytes before what comes next.")
        .def(
            "readinto",
            [](InputHandle& h, py::buffer target) {
                py::buffer_info info = target.request(true);
                const auto size = static_cast<std::streamsize>(info.size * info.itemsize);
                char* data = static_cast<char*>(info.ptr);
                return withoutLock([&] { return static_cast<std::size_t>(h.get().sgetn(data, size)); });
            },
            py::arg("buffer"), "Reads into a writable buffer; returns the count, 0 at the end.")
        .def("close", [](InputHandle& h) {
            if (!h.input) return;
            withoutLock([&] { h.input->close(); });
            h.input.reset();
        });
}

// The pass itself.
void bindPass(py::module_& m) {
    m.def("infer", &infer, py::arg("input"), py::arg("delimiter"), py::arg("types"), py::arg("na_values"),
          py::arg("multithreading"), py::arg("types_file"), py::arg("window"), py::arg("progress"),
          py::arg("max_field_size") = 0, py::arg("shapes") = py::none(), py::arg("skip_blank_lines") = false,
          py::arg("quote") = '"', py::arg("blank_runs") = false, py::arg("lf_rows") = false,
          py::arg("comment") = -1, py::arg("header_width") = 0, py::arg("exclusive_types") = false,
          py::arg("measures") = py::none(),
          "One pass over an Input; returns (column names as bytes, their counts, data rows). The "
          "interpreter's lock is released while it runs, except to report progress and to check for "
          "signals a few times a second. A field longer than max_field_size bytes (0: no limit) "
          "raises FieldTooLongError; a types file that cannot be written raises OSError. A dict given "
          "as shapes receives the counts of rows wider and narrower than the header and of blank "
          "lines (with the first row of each); skip_blank_lines leaves blank lines out of the rows. "
          "quote is the quote byte; blank_runs separates fields by runs of spaces and tabs instead of "
          "the delimiter; lf_rows ends rows at LF only, a lone CR being text; a data row whose first "
          "byte is comment (a byte value; -1: none) is left out and counted (needs shapes); rows "
          "narrower than header_width (0: the header's width) are counted as narrower. exclusive_types "
          "vouches that no text matches two types, which lets the pass skip the value cache where it "
          "does not hit; counts are then the same with or without the cache. A dict given as measures, "
          "whose 'readings' maps type names to (kind, group, point), receives what the loaders' schemas "
          "need: 'columns' (per column name) and 'missing' (per column, the rows too short to reach it).");
    // The same with the types as a dict, compiled for this pass alone.
    m.def(
        "infer",
        [](InputHandle& handle, char delimiter, const py::dict& types, const std::unordered_set<std::string>& naValues,
           bool multithreading, const py::object& typesFile, int window, const py::object& progress,
           std::size_t maxFieldSize, const py::object& shapes, bool skipBlankLines, char quote, bool blankRuns,
           bool lfRows, int comment, std::size_t headerWidth, bool exclusiveTypes, const py::object& measures) {
            return infer(handle, delimiter, compileTypes(types), naValues, multithreading, typesFile, window,
                         progress, maxFieldSize, shapes, skipBlankLines, quote, blankRuns, lfRows, comment,
                         headerWidth, exclusiveTypes, measures);
        },
        py::arg("input"), py::arg("delimiter"), py::arg("types"), py::arg("na_values"), py::arg("multithreading"),
        py::arg("types_file"), py::arg("window"), py::arg("progress"), py::arg("max_field_size") = 0,
        py::arg("shapes") = py::none(), py::arg("skip_blank_lines") = false, py::arg("quote") = '"',
        py::arg("blank_runs") = false, py::arg("lf_rows") = false, py::arg("comment") = -1,
        py::arg("header_width") = 0, py::arg("exclusive_types") = false, py::arg("measures") = py::none());
}


// --- The typed reader -------------------------------------------------------------------

// Drops a reference from any thread: at once where this thread holds the interpreter's lock,
// else later, by the interpreter. A consumer such as DuckDB may release a stream on a thread
// of its own while the thread holding the lock waits for it.
void dropReference(PyObject* object) {
    if (object == nullptr || !Py_IsInitialized()) return;
    if (PyGILState_Check()) {
        Py_DECREF(object);
        return;
    }
    Py_AddPendingCall(
        [](void* pending) {
            Py_DECREF(static_cast<PyObject*>(pending));
            return 0;
        },
        object);
}

// A type named as the package names it ("int64", "decimal128:12,2", ...), with a decimal's
// precision and scale.
velmira::arrow::ColumnType columnTypeOf(const std::string& name, int* precision = nullptr, int* scale = nullptr);

// One pass of the typed reader, shared by its Python object and the streams made of it.
// Python is touched only from the thread that made it (progress, signals), and only with the
// interpreter's lock; batches may be asked for on any thread, as DuckDB does.
class TypedRead final : public velmira::arrow::BatchSource {
public:
    TypedRead(InputHandle& handle, std::vector<std::string> names, const py::list& plans, const py::dict& options,
              const velmira::TypeTable& table, const py::object& progress)
        : table_(table), owner_(std::this_thread::get_id()), total_(handle.size) {
        names_ = names;
        std::vector<velmira::arrow::ColumnPlan> built;
        for (const py::handle& plan : plans) built.push_back(planOf(plan.cast<py::dict>()));
        velmira::arrow::ReaderOptions o;
        o.delimiter = options["delimiter"].cast<char>();
        o.quote = options["quote"].cast<char>();
        o.blankRuns = options["blank_runs"].cast<bool>();
        o.lfRows = options["lf_rows"].cast<bool>();
        o.comment = options["comment"].cast<int>();
        o.maxFieldSize = options["max_field_size"].cast<std::size_t>();
        for (const py::handle& marker : options["na_values"]) o.naValues.push_back(textBytes(marker));
        const std::string encoding = options["encoding"].cast<std::string>();
        o.encoding = encoding == "latin-1"  ? velmira::arrow::TextEncoding::Latin1
                     : encoding == "cp1252" ? velmira::arrow::TextEncoding::Cp1252
                                            : velmira::arrow::TextEncoding::Utf8;
        o.raiseOnError = options["raise_on_error"].cast<bool>();
        o.batchRows = std::max<std::size_t>(1, options["batch_rows"].cast<std::size_t>());
        o.batchBytes = std::max<std::size_t>(1, options["batch_bytes"].cast<std::size_t>());
        handle.get();  // a closed input is refused here, with the message of any other use
        reader_ = std::make_unique<velmira::arrow::BatchReader>(std::move(handle.input), std::move(names),
                                                                 std::move(built), std::move(o));
        checkpoint_ = [this]() { check(); };
        reader_->input().setCheckpoint(&checkpoint_);
        // Last, so that a failure above leaves no reference behind.
        if (!progress.is_none()) progress_ = progress.inc_ref().ptr();
    }
    ~TypedRead() override {
        dropReference(progress_);
        dropReference(pythonFailure_);
    }

    void schema(ArrowSchema* out) override { reader_->schema(out); }

    // The pass's mutex is only ever waited for without the interpreter's lock, so that the
    // thread holding it may take the interpreter's lock (to report progress) without a
    // deadlock.
    bool next(ArrowArray* out) override {
        return unlocked([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return recorded([&] {
                if (reader_->next(out)) return true;
                report();  // the end: the last report says every byte was read
                return false;
            });
        });
    }

    // Reads the rest of the input, building nothing: what the probes measure.
    void drain() {
        unlocked([&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return recorded([&] {
                reader_->drain();
                report();
                return false;
            });
        });
    }

    std::string describe(const std::exception_ptr& failure) const override {
        try {
            std::rethrow_exception(failure);
        } catch (const PythonStop& e) {
            return std::string("velmira: ") + e.what();
        } catch (const tessel::csv::FieldTooLong& e) {
            return "velmira: " + fieldTooLongMessage(e);
        } catch (const velmira::arrow::ConversionError& e) {
            return "velmira: " + conversionMessage(e);
        } catch (const std::exception& e) {
            return std::string("velmira: ") + e.what();
        }
    }

    // Raises, as Python should see it, what ended the pass, if anything did.
    void reraise() {
        const std::exception_ptr failure = locked([&] { return failure_; });
        if (pythonFailure_ != nullptr) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(pythonFailure_)), pythonFailure_);
            throw py::error_already_set();
        }
        if (!failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const velmira::arrow::ConversionError& e) {
            throw py::value_error(conversionMessage(e));
        } catch (const velmira::arrow::HeaderMismatch& e) {
            throw py::value_error(e.what());
        } catch (const std::length_error& e) {
            throw py::value_error(e.what());
        } catch (const std::system_error& e) {
            raiseOSError(e, py::none());
        } catch (...) {
            rethrowForPython(std::current_exception());
            throw;
        }
    }

    py::list counts() const {
        const std::vector<velmira::arrow::ColumnCounts> all = locked([&] { return reader_->counts(); });
        py::list result;
        for (const velmira::arrow::ColumnCounts& c : all) {
            py::dict entry;
            entry["errors"] = c.errors;
            entry["first_error"] = py::bytes(c.firstError);
            entry["first_error_row"] = c.firstErrorRow;
            entry["replaced"] = c.replaced;
            entry["zoned"] = c.zoned;
            entry["naive"] = c.naive;
            entry["end_of_day"] = c.endOfDay;
            entry["whole"] = c.whole;
            entry["scale"] = c.scale;
            entry["exponents"] = c.exponents;
            entry["beyond_int64"] = c.beyondInt64;
            result.append(entry);
        }
        return result;
    }
    std::uint64_t rows() const {
        return locked([&] { return reader_->rows(); });
    }
    void setRearm(bool rearm) { rearm_ = rearm; }

private:
    // A Python exception (Ctrl-C, or the progress callback's) that stopped the pass; it waits
    // in pythonFailure_ for reraise.
    class PythonStop : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    velmira::arrow::ColumnPlan planOf(const py::dict& plan) const;

    std::string conversionMessage(const velmira::arrow::ConversionError& e) const {
        const std::string name = e.column < names_.size() ? names_[e.column] : std::to_string(e.column + 1);
        return "row " + std::to_string(e.row) + ", column '" + name + "': " + quoted(e.text) +
               " is not a value of the column's type (on_error='null' makes it null instead)";
    }
    static std::string quoted(const std::string& text) {
        std::string out = "'";
        for (const char c : text.substr(0, 40)) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                out += hex;
            } else {
                out += c;
            }
        }
        return out + (text.size() > 40 ? "...'" : "'");
    }
    static std::string fieldTooLongMessage(const tessel::csv::FieldTooLong& e) {
        const std::string limit = std::to_string(e.limit) + " bytes (max_field_size)";
        return e.wholeRow ? "the header row is longer than the limit of " + limit
                          : "row " + std::to_string(e.row) + " has a field longer than the limit of " + limit;
    }

    // `body` under the pass's mutex, from a thread that holds the interpreter's lock.
    template <class Body>
    auto locked(Body body) const -> decltype(body()) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        return body();
    }

    // Runs `body` without the interpreter's lock when this thread holds it, as a pass should.
    template <class Body>
    bool unlocked(Body body) {
        PyThreadState* saved = Py_IsInitialized() && PyGILState_Check() ? PyEval_SaveThread() : nullptr;
        try {
            const bool result = body();
            if (saved != nullptr) PyEval_RestoreThread(saved);
            return result;
        } catch (...) {
            if (saved != nullptr) PyEval_RestoreThread(saved);
            throw;
        }
    }
    // Runs `body`, keeping its failure for reraise; a pass that failed stays failed.
    template <class Body>
    bool recorded(Body body) {
        if (failure_) std::rethrow_exception(failure_);
        try {
            return body();
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
    }

    // A few times a second, in the thread that made the pass: Ctrl-C and progress.
    void check() {
        using Clock = std::chrono::steady_clock;
        if (std::this_thread::get_id() != owner_ || !Py_IsInitialized()) return;
        const Clock::time_point now = Clock::now();
        if (now < next_) return;
        next_ = now + std::chrono::milliseconds(200);
        report();
    }
    void report() {
        if (std::this_thread::get_id() != owner_ || !Py_IsInitialized()) return;
        py::gil_scoped_acquire gil;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (progress_ != nullptr) {
                const py::handle callback(progress_);
                callback(reader_->input().rawBytes(), total_ != 0 ? py::object(py::int_(total_)) : py::object(py::none()));
            }
        } catch (py::error_already_set& e) {
            const bool interrupt = e.matches(PyExc_KeyboardInterrupt);
            std::string message = interrupt ? "interrupted (KeyboardInterrupt)" : e.what();
            if (pythonFailure_ == nullptr) pythonFailure_ = e.value().inc_ref().ptr();
            // A consumer of our own re-raises the exception; any other only sees the stream
            // fail, so Ctrl-C is delivered again for Python to raise once it runs.
            if (interrupt && rearm_) PyErr_SetInterrupt();
            throw PythonStop(message);
        }
    }

    velmira::TypeTable table_;  // the compiled types, which the plans' patterns point into
    std::unique_ptr<velmira::arrow::BatchReader> reader_;
    std::function<void()> checkpoint_;
    mutable std::mutex mutex_;                 // one batch at a time, whoever asks; guards the reader and failure_
    const std::thread::id owner_;              // the thread that may call into Python
    const std::uint64_t total_;                // the source's size, when known
    std::chrono::steady_clock::time_point next_{};
    PyObject* progress_ = nullptr;             // the callback (a reference), or null
    PyObject* pythonFailure_ = nullptr;        // the exception that stopped the pass (a reference)
    std::exception_ptr failure_;               // what stopped the pass
    std::vector<std::string> names_;           // for messages
    bool rearm_ = false;
};

velmira::arrow::ColumnType columnTypeOf(const std::string& name, int* precision, int* scale) {
    using velmira::arrow::ColumnType;
    int p = 0, s = 0;
    char end = 0;
    if (std::sscanf(name.c_str(), "decimal128:%d,%d%c", &p, &s, &end) == 2) {
        if (p < 1 || p > 38 || s < 0 || s > p) throw py::value_error("no decimal128 of precision and scale '" + name + "'");
        if (precision != nullptr) *precision = p;
        if (scale != nullptr) *scale = s;
        return ColumnType::Decimal128;
    }
    static const std::unordered_map<std::string, ColumnType> kTypes = {
        {"int64", ColumnType::Int64},         {"float64", ColumnType::Float64},
        {"bool", ColumnType::Bool},           {"date32", ColumnType::Date32},
        {"timestamp", ColumnType::Timestamp}, {"timestamp_utc", ColumnType::TimestampUtc},
        {"time64", ColumnType::Time64},       {"utf8", ColumnType::Utf8},
        {"large_utf8", ColumnType::LargeUtf8}};
    const auto found = kTypes.find(name);
    if (found == kTypes.end()) throw py::value_error("no Arrow type named '" + name + "'");
    return found->second;
}

velmira::arrow::ColumnPlan TypedRead::planOf(const py::dict& plan) const {
    using velmira::arrow::ColumnPlan;
    ColumnPlan p;
    static const std::unordered_map<std::string, ColumnPlan::Kind> kKinds = {
        {"int64", ColumnPlan::Kind::Int64}, {"float64", ColumnPlan::Kind::Float64},
        {"decimal", ColumnPlan::Kind::Decimal}, {"decimal_probe", ColumnPlan::Kind::DecimalProbe},
        {"bool", ColumnPlan::Kind::Bool},
        {"date", ColumnPlan::Kind::Date},   {"timestamp", ColumnPlan::Kind::Timestamp},
        {"time", ColumnPlan::Kind::Time},   {"text", ColumnPlan::Kind::Text},
        {"zone_probe", ColumnPlan::Kind::ZoneProbe}, {"skip", ColumnPlan::Kind::Skip}};
    const auto kind = kKinds.find(plan["kind"].cast<std::string>());
    if (kind == kKinds.end()) throw py::value_error("no conversion named '" + plan["kind"].cast<std::string>() + "'");
    p.kind = kind->second;
    p.type = columnTypeOf(plan["type"].cast<std::string>(), &p.precision, &p.scale);
    const std::string group = plan.contains("group") ? plan["group"].cast<std::string>() : std::string();
    const std::string point = plan.contains("point") ? plan["point"].cast<std::string>() : std::string(".");
    p.number.group = group.empty() ? '\0' : group[0];
    p.number.point = point.empty() ? '.' : point[0];
    p.number.percent = plan.contains("percent") && plan["percent"].cast<bool>();
    p.isoForm = plan.contains("iso") && plan["iso"].cast<bool>();
    p.zoned = plan.contains("zoned") && plan["zoned"].cast<bool>();
    if (plan.contains("format") && !plan["format"].is_none()) {
        std::string why;
        if (!velmira::convert::DateFormat::compile(plan["format"].cast<std::string>(), p.format, why)) {
            throw py::value_error(why);
        }
    }
    if (plan.contains("true_words")) {
        p.words = std::make_shared<velmira::convert::BoolWords>(plan["true_words"].cast<std::vector<std::string>>(),
                                                                plan["false_words"].cast<std::vector<std::string>>());
    }
    if (plan.contains("accepted")) {
        for (const std::string& name : plan["accepted"].cast<std::vector<std::string>>()) {
            const auto found = table_.matchers.find(name);
            if (found == table_.matchers.end()) throw py::value_error("no type named '" + name + "' in the table");
            for (const velmira::Pattern& pattern : found->second) p.accepted.push_back(&pattern);
        }
    }
    return p;
}

// A capsule that releases what it holds, unless a consumer moved it out first.
template <class Struct>
py::object capsuleOf(Struct* value, const char* name) {
    PyObject* capsule = PyCapsule_New(value, name, [](PyObject* self) {
        auto* held = static_cast<Struct*>(PyCapsule_GetPointer(self, PyCapsule_GetName(self)));
        if (held == nullptr) {
            PyErr_Clear();
            return;
        }
        if (held->release != nullptr) held->release(held);
        delete held;
    });
    if (capsule == nullptr) {
        if (value->release != nullptr) value->release(value);
        delete value;
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(capsule);
}

std::shared_ptr<TypedRead> openTypedRead(InputHandle& handle, std::vector<std::string> names, const py::list& plans,
                                         const py::dict& options, const velmira::TypeTable& table,
                                         const py::object& progress) {
    return std::make_shared<TypedRead>(handle, std::move(names), plans, options, table, progress);
}

// The typed reader: a pass over an Input that gives Arrow batches.
void bindReader(py::module_& m) {
    py::register_exception<velmira::arrow::HeaderMismatch>(m, "HeaderMismatchError", PyExc_ValueError);
    py::class_<TypedRead, std::shared_ptr<TypedRead>>(
        m, "TypedRead", "One pass of the typed reader over an Input, read into Arrow batches.")
        .def(py::init(&openTypedRead), py::arg("input"), py::arg("names"), py::arg("plans"), py::arg("options"),
             py::arg("types"), py::arg("progress") = py::none(),
             "Takes over the input, which must stand at the header row.")
        .def(
            "stream",
            [](const std::shared_ptr<TypedRead>& read, bool own) {
                read->setRearm(!own);
                auto* stream = new ArrowArrayStream{};
                velmira::arrow::exportStream(read, stream);
                return capsuleOf(stream, "arrow_array_stream");
            },
            py::arg("own") = false,
            "An 'arrow_array_stream' capsule over the pass. With own=False, Ctrl-C that stops it is "
            "raised again once Python runs, since its consumer only sees the stream fail.")
        .def(
            "schema",
            [](TypedRead& read) {
                auto* schema = new ArrowSchema{};
                read.schema(schema);
                return capsuleOf(schema, "arrow_schema");
            },
            "An 'arrow_schema' capsule of the batches' schema.")
        .def(
            "drain",
            [](TypedRead& read) {
                try {
                    read.drain();
                } catch (...) {
                    read.reraise();
                    throw;
                }
            },
            "Reads to the end, counting zones only, without the interpreter's lock.")
        .def("reraise", &TypedRead::reraise, "Raises what stopped the pass, if anything did.")
        .def("counts", &TypedRead::counts, "Per column: errors, first_error, first_error_row, replaced, zoned, naive.")
        .def_property_readonly("rows", &TypedRead::rows, "Data rows read so far.");
    m.def(
        "arrow_schema",
        [](const std::vector<std::string>& names, const std::vector<std::string>& types) {
            std::vector<std::string> formats;
            for (const std::string& type : types) {
                int precision = 0, scale = 0;
                const velmira::arrow::ColumnType column = columnTypeOf(type, &precision, &scale);
                formats.push_back(velmira::arrow::formatOf(column, precision, scale));
            }
            if (formats.size() != names.size()) throw py::value_error("one type per name is needed");
            auto* schema = new ArrowSchema{};
            velmira::arrow::exportSchema(names, formats, schema);
            return capsuleOf(schema, "arrow_schema");
        },
        py::arg("names"), py::arg("types"),
        "An 'arrow_schema' capsule of a struct of these columns, as the typed reader's batches have it.");
    m.def(
        "check_date_format",
        [](const std::string& format) -> py::object {
            velmira::convert::DateFormat parsed;
            std::string why;
            if (velmira::convert::DateFormat::compile(format, parsed, why)) return py::none();
            return py::str(why);
        },
        py::arg("format"), "None if the reader reads this strftime format, else why not.");
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The velmira package's native entry point";
    velmira::registerErrorTranslation();
    py::register_exception<velmira::InputError>(m, "InputError", PyExc_ValueError);
    py::register_exception<FieldTooLongError>(m, "FieldTooLongError", PyExc_ValueError);
    bindTypes(m);
    bindInput(m);
    bindPass(m);
    bindReader(m);
}
