// Lower bounds for the module's per-file work, timed by bench/run.py.
//
// Built only with -DSESSIONROWS_BENCH=ON, from the same sessionrows_core library and
// compiler flags as the module. Three passes over a list of files, each file on its
// own, nothing handed to Python:
//   lines  - open_lines/next_line over the file: the chunked reads and the line split;
//   parse  - the same, plus the module's prefilter and parse_line (simdjson with
//            the yyjson fallback, as the module parses) on exactly the lines the
//            prefilter lets through;
//   scan   - sr::run(kind, path, include_tools): prefilter, parse and rules, rows
//            built as C++ strings and dropped.
// As a shared library the harness calls srf_run() through ctypes; as the program
// srfloors_cli (SRF_MAIN defined) it runs one pass from the command line, which is
// handy under perf or callgrind.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "scan/claude_rules.h"
#include "scan/codex_rules.h"
#include "scan/file_lines.h"
#include "scan/has_kv.h"
#include "scan/line_parser.h"
#include "scan/scan.h"

namespace {

enum mode { lines_only = 0, prefilter_parse = 1, scan_only = 2 };

// The figures a pass returns, in this order, as uint64 values.
struct totals {
    uint64_t files = 0;
    uint64_t bytes = 0;         // line bytes, line feeds included (scan: file sizes)
    uint64_t lines = 0;         // non-empty lines
    uint64_t parsed_lines = 0;  // lines handed to the parser (parse pass)
    uint64_t parsed_bytes = 0;
    uint64_t parse_failures = 0;
    uint64_t rows = 0;          // rows built (scan pass)
};
constexpr int totals_count = 7;

// One file; false if it cannot be opened or read.
// Buffers kept from file to file, as the module keeps them per thread.
struct reuse {
    sr::read_buffer buffer;
    sr::line_parser parser;
};

bool run_file(int m, bool codex, bool include_tools, const std::string& path, totals& t, reuse& kept) {
    if (m == scan_only) {
        sr::scan_result r = sr::run(codex ? "codex" : "claude", path, include_tools);
        if (!r.ok) return false;
        t.rows += sr::size(r.rows);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) t.bytes += static_cast<uint64_t>(st.st_size);
        ++t.files;
        return true;
    }
    sr::file_lines file(kept.buffer);
    sr::error_value err;
    if (!sr::open_lines(file, path, err)) return false;
    std::string_view line;
    if (m == lines_only) {
        while (sr::next_line(file, line)) {
            t.bytes += line.size() + 1;
            t.lines += !line.empty();
        }
    } else {
        sr::rule_options options;
        options.include_tools = include_tools;
        const sr::claude_rules claude = sr::make_claude_rules(options);
        const sr::codex_rules cx = sr::make_codex_rules(options);
        sr::line_parser& parser = kept.parser;
        parser.input_padded = true;
        while (sr::next_line(file, line)) {
            t.bytes += line.size() + 1;
            if (line.empty()) continue;
            ++t.lines;
            if (!(codex ? sr::choose_rule(cx, line) != sr::line_rule::none : sr::claude_prefilter(claude, line)))
                continue;
            ++t.parsed_lines;
            t.parsed_bytes += line.size() + 1;
            if (sr::parse_line(parser, line).which == sr::parsed_line::none) ++t.parse_failures;
        }
    }
    if (file.read_errno != 0) return false;
    ++t.files;
    return true;
}

int run_files(int m, bool codex, bool include_tools, const char* const* paths, size_t n, totals& t) {
    reuse kept;
    for (size_t i = 0; i < n; ++i) {
        bool ok = run_file(m, codex, include_tools, paths[i], t, kept);
        sr::end_scan(kept.parser);
        sr::trim(kept.buffer);
        if (!ok) return static_cast<int>(i) + 1;
    }
    return 0;
}

}  // namespace

// Runs pass `mode` (0 lines, 1 prefilter+parse, 2 scan) over n files; fills out[7]
// with the totals above. Returns 0, or 1 + the index of a file that failed, or -1 on
// an exception (out of memory).
extern "C" __attribute__((visibility("default"))) int srf_run(int mode, int codex, int include_tools,
                                                              const char* const* paths, size_t n,
                                                              uint64_t* out) {
    totals t;
    int rc;
    try {
        rc = run_files(mode, codex != 0, include_tools != 0, paths, n, t);
    } catch (const std::exception&) {
        rc = -1;
    }
    const uint64_t values[totals_count] = {t.files,        t.bytes,          t.lines, t.parsed_lines,
                                           t.parsed_bytes, t.parse_failures, t.rows};
    std::memcpy(out, values, sizeof values);
    return rc;
}

#ifdef SRF_MAIN
// srfloors_cli lines|parse|scan claude|codex 0|1 [-n REPEAT] FILE... (or @LIST, one path a line)
int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s lines|parse|scan claude|codex 0|1 [-n REPEAT] FILE... | @LIST\n", argv[0]);
        return 2;
    }
    std::string_view ms = argv[1];
    int m = ms == "lines" ? lines_only : ms == "parse" ? prefilter_parse : ms == "scan" ? scan_only : -1;
    if (m < 0) return 2;
    bool codex = std::string_view(argv[2]) == "codex";
    bool tools = std::string_view(argv[3]) == "1";
    int first = 4, repeat = 1;
    if (std::string_view(argv[4]) == "-n" && argc > 6) {
        repeat = std::atoi(argv[5]);
        first = 6;
    }
    std::vector<std::string> names;
    for (int i = first; i < argc; ++i) {
        if (argv[i][0] == '@') {
            std::ifstream list(argv[i] + 1);
            for (std::string s; std::getline(list, s);)
                if (!s.empty()) names.push_back(s);
        } else {
            names.emplace_back(argv[i]);
        }
    }
    std::vector<const char*> paths;
    for (const std::string& s : names) paths.push_back(s.c_str());
    for (int r = 0; r < repeat; ++r) {
        uint64_t out[totals_count];
        auto t0 = std::chrono::steady_clock::now();
        int rc = srf_run(m, codex, tools, paths.data(), paths.size(), out);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (rc != 0) {
            std::fprintf(stderr, "failed (%d)\n", rc);
            return 1;
        }
        std::printf("%s %s tools=%d: %.3f s, %.1f MB/s, files %llu, lines %llu, parsed %llu (%llu bytes), rows %llu\n",
                    argv[1], argv[2], tools ? 1 : 0, s, out[1] / s / 1e6, (unsigned long long)out[0],
                    (unsigned long long)out[2], (unsigned long long)out[3], (unsigned long long)out[4],
                    (unsigned long long)out[6]);
    }
    return 0;
}
#endif
