// Helpers shared by the fuzz targets: reading rows with the tokenizer, and failing loudly.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "csv/parser.hpp"

namespace fuzz {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// Ends the run with a message; libFuzzer then saves the input as a crash reproducer.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "\nINVARIANT BROKEN: %s\n", what.c_str());
    std::abort();
}

inline void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

// Rows as the row iterator delivers them.
inline Rows rowsOf(const std::string& bytes, char delimiter) {
    std::istringstream in(bytes);
    tessel::csv::CsvParser parser(in);
    parser.delimiter(delimiter);
    Rows rows;
    for (auto it = parser.begin(); it != parser.end(); ++it) rows.push_back(*it);
    return rows;
}

// Printable form for messages: rows as [a][b]/[c]/, bytes outside ASCII text as \xNN.
inline std::string show(const Rows& rows) {
    std::string out;
    char hex[8];
    for (const Row& row : rows) {
        for (const std::string& field : row) {
            out += '[';
            for (char ch : field) {
                const auto byte = static_cast<unsigned char>(ch);
                if (byte >= 0x20 && byte < 0x7f) {
                    out += ch;
                } else {
                    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
                    out += hex;
                }
            }
            out += ']';
        }
        out += '/';
        if (out.size() > 2000) return out + "...";
    }
    return out;
}

}  // namespace fuzz
