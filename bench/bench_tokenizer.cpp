// Tokenizer throughput against the cost of merely reading the same bytes.
//
//   bench_tokenizer [FILE.csv] [ROUNDS]
//
// The floor that matters is the fast path as the inference pass uses it: scan_rows into a
// batch of views (pointer and size per field), flushed whenever the tokenizer's block ends,
// with no string per field; next_field and the row iterator are measured beside it.
//
// Without FILE it generates a deterministic CSV of about 100 MB in memory: numbers, dates,
// words, empty fields and quoted fields holding delimiters, doubled quotes and line ends, with
// LF and CR LF row ends. The input is held in memory and served through a bare streambuf, so
// the numbers measure the scan and not the disk. Each measurement runs ROUNDS times (default 5)
// and the median is printed. The last line is machine-readable: tokenizer_mbps=N (row iterator).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "csv/parser.hpp"

namespace {

using tessel::csv::CsvParser;
using tessel::csv::FieldType;

// Serves a string without copying it, as a file would: every read is one memcpy.
class MemoryBuf : public std::streambuf {
public:
    explicit MemoryBuf(std::string& bytes) {
        char* begin = bytes.data();
        setg(begin, begin, begin + bytes.size());
    }
};

class Rng {
public:
    std::uint64_t next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    std::uint64_t m_state = 0x9E3779B97F4A7C15ULL;
};

std::string generate(std::size_t target_bytes) {
    static const char* const kWords[] = {"alpha", "bravo",  "charlie", "delta", "echo",
                                         "NA",    "true",   "false",   "Zürich", "x"};
    Rng rng;
    std::string out;
    out.reserve(target_bytes + 1024);
    out += "id,amount,ratio,date,word,comment,empty,flag,quoted,code\n";
    char num[64];
    for (std::uint64_t row = 0; out.size() < target_bytes; ++row) {
        out += std::to_string(row);
        out += ',';
        out += std::to_string(static_cast<std::int64_t>(rng.below(2000000)) - 1000000);
        out += ',';
        std::snprintf(num, sizeof num, "%.4f", static_cast<double>(rng.below(1000000)) / 997.0);
        out += num;
        out += ',';
        std::snprintf(num, sizeof num, "20%02u-%02u-%02u", static_cast<unsigned>(rng.below(30)),
                      static_cast<unsigned>(1 + rng.below(12)),
                      static_cast<unsigned>(1 + rng.below(28)));
        out += num;
        out += ',';
        out += kWords[rng.below(10)];
        out += ',';
        switch (rng.below(4)) {
            case 0:
                out += "\"Smith, John\"";
                break;
            case 1:
                out += "\"said \"\"hello\"\" twice\"";
                break;
            case 2:
                out += "plain text without any special byte in it at all";
                break;
            default:
                out += "\"two\r\nlines\"";
                break;
        }
        out += ",,";
        out += rng.below(2) != 0 ? "Y" : "N";
        out += ',';
        out += "\"" + std::to_string(rng.below(100000)) + "\"";
        out += ',';
        out += static_cast<char>('A' + rng.below(26));
        out += static_cast<char>('A' + rng.below(26));
        out += row % 7 == 0 ? "\r\n" : "\n";
    }
    return out;
}

struct Count {
    std::uint64_t rows = 0;
    std::uint64_t fields = 0;
    std::uint64_t bytes = 0;  // field text seen; keeps the work observable
};

Count read_floor(std::string& input) {
    MemoryBuf buf(input);
    std::istream in(&buf);
    static char block[CsvParser::INPUTBUF_CAP];
    Count c;
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        c.bytes += static_cast<std::uint64_t>(in.gcount());
        c.fields += static_cast<std::uint64_t>(block[0]);
    }
    return c;
}

Count read_count_lf(std::string& input) {
    MemoryBuf buf(input);
    std::istream in(&buf);
    static char block[CsvParser::INPUTBUF_CAP];
    Count c;
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        c.bytes += static_cast<std::uint64_t>(in.gcount());
        c.rows += static_cast<std::uint64_t>(std::count(block, block + in.gcount(), '\n'));
    }
    return c;
}

Count tokens(std::string& input) {
    MemoryBuf buf(input);
    std::istream in(&buf);
    CsvParser parser(in);
    Count c;
    bool row_open = false;  // the last row ends with CSV_END instead of ROW_END
    for (;;) {
        const auto field = parser.next_field();
        if (field.type == FieldType::DATA) {
            ++c.fields;
            c.bytes += field.data->size();
            row_open = true;
        } else if (field.type == FieldType::ROW_END) {
            ++c.rows;
            row_open = false;
        } else {
            c.rows += row_open ? 1 : 0;
            return c;
        }
    }
}

Count rows(std::string& input) {
    MemoryBuf buf(input);
    std::istream in(&buf);
    CsvParser parser(in);
    Count c;
    for (auto it = parser.begin(); it != parser.end(); ++it) {
        ++c.rows;
        c.fields += it->size();
        for (const std::string& f : *it) {
            c.bytes += f.size();
        }
    }
    return c;
}

// A batch of views, as the pass keeps them: flushed (summed here) when full or when the block
// is about to be replaced.
class ViewBatch {
public:
    explicit ViewBatch(Count& c) : m_count(c), m_cells(kCells + kMaxRow) {}
    void view(const char* data, std::size_t size) {
        if (m_used < m_cells.size()) {
            m_cells[m_used++] = Cell{data, size};
        }
    }
    void copy(const char* data, std::size_t size) {
        m_copies.emplace_back(data, size);
        view(m_copies.back().data(), size);
    }
    void drop_row() { m_used = m_row_start; }
    bool end_row() {
        ++m_count.rows;
        m_row_start = m_used;
        return m_used < kCells;
    }
    void block_end() { flush(); }
    void flush() {
        for (std::size_t i = 0; i < m_used; ++i) {
            m_count.bytes += m_cells[i].size;
            m_count.fields += m_cells[i].data != nullptr;
        }
        m_used = 0;
        m_copies.clear();
        m_row_start = 0;
    }

private:
    static constexpr std::size_t kCells = 1 << 14;
    static constexpr std::size_t kMaxRow = 1 << 12;  // fields of wider rows are not kept
    struct Cell {
        const char* data;
        std::size_t size;
    };
    Count& m_count;
    std::vector<Cell> m_cells;
    std::size_t m_used = 0;
    std::deque<std::string> m_copies;
    std::size_t m_row_start = 0;
};

Count scan(std::string& input) {
    MemoryBuf buf(input);
    std::istream in(&buf);
    CsvParser parser(in);
    Count c;
    ViewBatch batch(c);
    while (parser.scan_rows(batch)) {
        batch.flush();
    }
    batch.flush();
    return c;
}

struct Result {
    double seconds;
    Count count;
};

Result median_of(int rounds, const std::function<Count()>& run) {
    std::vector<double> times;
    Count count;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        count = run();
        const auto stop = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], count};
}

}  // namespace

int main(int argc, char** argv) {
    std::string input;
    std::string source;
    if (argc > 1 && std::string(argv[1]) != "-") {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::cerr << "cannot open " << argv[1] << "\n";
            return 2;
        }
        input.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        source = argv[1];
    } else {
        input = generate(100u * 1000u * 1000u);
        source = "generated";
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const double mb = static_cast<double>(input.size()) / 1e6;
    std::printf("input: %s, %.1f MB, median of %d rounds\n", source.c_str(), mb, rounds);

    const auto report = [mb](const char* name, const Result& r, bool with_fields) {
        std::printf("%-30s %9.1f MB/s", name, mb / r.seconds);
        if (with_fields) {
            std::printf("  %8.1f M fields/s  (%llu rows, %llu fields)",
                        static_cast<double>(r.count.fields) / r.seconds / 1e6,
                        static_cast<unsigned long long>(r.count.rows),
                        static_cast<unsigned long long>(r.count.fields));
        }
        std::printf("\n");
    };

    report("floor: istream::read blocks", median_of(rounds, [&] { return read_floor(input); }),
           false);
    report("floor: read + count LF", median_of(rounds, [&] { return read_count_lf(input); }),
           false);
    report("next_field tokens", median_of(rounds, [&] { return tokens(input); }), true);
    report("row iterator", median_of(rounds, [&] { return rows(input); }), true);
    const Result fast = median_of(rounds, [&] { return scan(input); });
    report("scan_rows into views", fast, true);
    std::printf("tokenizer_mbps=%.0f\n", mb / fast.seconds);
    return 0;
}
